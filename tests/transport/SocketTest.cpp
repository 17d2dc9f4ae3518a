// The socket wrapper. Guards against addresses accepted that the server cannot use, and handles
// leaked or reused after a failure.
#include "transport/Socket.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvane {
namespace {


TEST(SocketTest, BindTakesOnlyDottedQuadsOfAtMostFifteenCharacters) {
  Socket socket;
  EXPECT_FALSE(socket.create(0, Socket::Datagram, "255.255.255.255"));
  EXPECT_NE(socket.sock(), kNoSocket) << "a failed bind leaves the socket open";
  EXPECT_FALSE(socket.bind(0, "127.000.000.0001")) << "16 characters, though it parses";
  EXPECT_FALSE(socket.bind(0, "localhost")) << "names are not resolved";
  EXPECT_FALSE(socket.bind(70000, "127.0.0.1"));
  ASSERT_TRUE(socket.bind(0, "127.000.000.001"));
  std::string address;
  ASSERT_TRUE(socket.localAddress(address));
  EXPECT_EQ(address, "127.0.0.1");
  EXPECT_GT(socket.localPort(), 0);
}

TEST(SocketTest, AcceptWithNothingPendingEmptiesTheTargetAndFreesItsOldHandle) {
  Socket listener;
  ASSERT_TRUE(listener.create(0, Socket::Stream, "127.0.0.1"));
  ASSERT_TRUE(listener.listen(5));
  ASSERT_TRUE(listener.setNonBlocking(true));
  Socket target;
  ASSERT_TRUE(target.create(0, Socket::Datagram, "127.0.0.1"));
  const int oldPort = target.localPort();

  EXPECT_FALSE(listener.accept(target));
  EXPECT_EQ(target.sock(), kNoSocket);
  EXPECT_FALSE(Socket::lastErrorIsFatal()) << "the accept's would-block survives";
  Socket reuse;
  EXPECT_TRUE(reuse.create(oldPort, Socket::Datagram, "127.0.0.1")) << "old handle was leaked";
}

TEST(SocketTest, ReceiveFromReportsTheSenderAndLeavesOutputsAloneOnFailure) {
  Socket receiver, sender;
  ASSERT_TRUE(receiver.create(0, Socket::Datagram, "127.0.0.1"));
  ASSERT_TRUE(sender.create(0, Socket::Datagram, "127.0.0.1"));
  ASSERT_TRUE(receiver.setNonBlocking(true));
  char buffer[8] = {};
  std::string address = "untouched";
  int port = 7;
  EXPECT_EQ(receiver.receiveFrom(buffer, sizeof buffer, address, port), -1);
  EXPECT_FALSE(Socket::lastErrorIsFatal());
  EXPECT_EQ(address, "untouched");
  EXPECT_EQ(port, 7);

  ASSERT_TRUE(receiver.setNonBlocking(false));
  EXPECT_EQ(sender.sendTo("hello", 5, receiver.localPort(), ""), -1);
  ASSERT_EQ(sender.sendTo("hello", 5, receiver.localPort(), "localhost"), 5);
  ASSERT_EQ(receiver.receiveFrom(buffer, sizeof buffer, address, port), 5);
  EXPECT_EQ(std::string(buffer, 5), "hello");
  EXPECT_EQ(address, "127.0.0.1");
  EXPECT_EQ(port, sender.localPort());

  // A datagram longer than the buffer must not pass as one that fits.
  ASSERT_EQ(sender.sendTo("0123456789", 10, receiver.localPort(), "127.0.0.1"), 10);
  EXPECT_NE(receiver.receiveFrom(buffer, sizeof buffer, address, port), 8);
}

}  // namespace
}  // namespace quorvane
