// The socket wrapper and the datagram socket built on it: what bind accepts, accept and receive
// failures, a receive that tells each datagram's length and sender, and batched sends. A wait
// ended from another thread is tried by every stop of a running server.
// Guards against addresses accepted that the server cannot use, handles leaked or reused after a
// failure, a cut datagram passing as whole, and lost batch sends.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/WaitFor.h"
#include "transport/DatagramSocket.h"

namespace quorvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

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
  EXPECT_EQ(address + ":" + std::to_string(port), "untouched:7");

  EXPECT_EQ(sender.sendTo("hello", 5, receiver.localPort(), ""), -1);
  ASSERT_EQ(sender.sendTo("hello", 5, receiver.localPort(), "localhost"), 5);
  ASSERT_TRUE(test::waitReadable(receiver.sock()));
  ASSERT_EQ(receiver.receiveFrom(buffer, sizeof buffer, address, port), 5);
  EXPECT_EQ(std::string(buffer, 5) + " from " + address + ":" + std::to_string(port),
            "hello from 127.0.0.1:" + std::to_string(sender.localPort()));
  // A datagram longer than the buffer must not pass as one that fits.
  ASSERT_EQ(sender.sendTo("0123456789", 10, receiver.localPort(), "127.0.0.1"), 10);
  ASSERT_TRUE(test::waitReadable(receiver.sock()));
  EXPECT_NE(receiver.receiveFrom(buffer, sizeof buffer, address, port), 8);
}

TEST(DatagramSocketTest, ReceiveTellsLengthsAndSendersAndABatchSendsEveryDatagram) {
  constexpr int kSize = 150;
  DatagramSocket socket;
  Socket peer;
  ASSERT_TRUE(socket.create(0, Socket::Datagram, "127.0.0.1"));
  ASSERT_TRUE(peer.create(0, Socket::Datagram, "127.0.0.1"));
  for (int size : {kSize, kSize + 1, kSize - 1}) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size),
                                    static_cast<std::uint8_t>(size));
    ASSERT_EQ(peer.sendTo(bytes.data(), size, socket.localPort(), "127.0.0.1"), size);
  }
  std::uint8_t buffers[DatagramSocket::kBatch][kSize] = {};
  int lengths[DatagramSocket::kBatch] = {};
  Endpoint senders[DatagramSocket::kBatch];
  ASSERT_TRUE(test::waitReadable(socket.sock()));
  for (int taken = 0; taken < 3;) {
    const int count = socket.receive(&buffers[taken][0], kSize, DatagramSocket::kBatch - taken,
                                     lengths + taken, senders + taken);
    ASSERT_GE(count, 0);
    if (count == 0) socket.waitForDatagram();
    taken += count;
  }
  EXPECT_EQ(lengths[0], kSize);
  EXPECT_GT(lengths[1], kSize) << "a datagram cut short must not pass as a whole one";
  EXPECT_EQ(lengths[2], kSize - 1);
  EXPECT_EQ(buffers[2][0], kSize - 1);
  EXPECT_EQ(senders[0], Endpoint::of("127.0.0.1", peer.localPort()));

  // More than one call's worth to one destination (which the kernel may send as runs cut into
  // datagrams), a run to nowhere that fails without stopping the rest, and a run broken by a
  // datagram of another length: each arrives whole, alone and in order.
  Bytes bytes(DatagramSocket::kBatch + 6);
  const Endpoint to = Endpoint::of("127.0.0.1", peer.localPort());
  std::vector<DatagramSocket::Outgoing> batch;
  std::vector<Bytes> expected;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(i);
    batch.push_back({&bytes[i], 1, to});
    expected.push_back({bytes[i]});
  }
  batch.push_back({&bytes[0], 1, Endpoint{}});
  batch.push_back({&bytes[1], 1, Endpoint{}});
  batch.push_back({&bytes[1], 1, to});
  batch.push_back({&bytes[2], 2, to});
  batch.push_back({&bytes[4], 1, to});
  for (const Bytes& more : {Bytes{1}, Bytes{2, 3}, Bytes{4}}) expected.push_back(more);
  socket.send(batch.data(), static_cast<int>(batch.size()));
  for (const Bytes& wanted : expected) ASSERT_EQ(test::nextDatagram(peer), wanted);
}

}  // namespace
}  // namespace quorvane
