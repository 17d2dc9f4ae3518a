// The socket wrapper. Guards against addresses accepted that the server cannot use, and handles
// leaked or reused after a failure.
#include "transport/Socket.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "transport/ClientConnection.h"
#include "transport/ListenSocket.h"
#include "support/WaitFor.h"
#include "transport/ReactorPool.h"

namespace quorvane {
namespace {


// A listener, a client connected to it and the accepted end, all on loopback.
struct TcpTriple {
  Socket listener;
  Socket client;
  Socket server;

  bool open() {
    return listener.create(0, Socket::Stream, "127.0.0.1") && listener.listen(5) &&
           client.create(0, Socket::Stream, "127.0.0.1") &&
           client.connect("127.0.0.1", listener.localPort()) && listener.accept(server);
  }
};

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

TEST(SocketTest, OperationsWithoutHandleFailAndCloseForgetsTheHandle) {
  Socket socket;
  std::string address = "untouched";
  EXPECT_FALSE(socket.shutdown(3));
  EXPECT_FALSE(socket.setNonBlocking(true));
  EXPECT_FALSE(socket.connect("127.0.0.1", 1));
  EXPECT_FALSE(socket.localAddress(address));
  EXPECT_EQ(address, "untouched");
  EXPECT_EQ(socket.localPort(), -1);
  EXPECT_FALSE(socket.create(0, 3));
  EXPECT_EQ(socket.sock(), kNoSocket);

  ASSERT_TRUE(socket.create(0, Socket::Stream, "127.0.0.1"));
  EXPECT_TRUE(socket.close());
  EXPECT_EQ(socket.sock(), kNoSocket);
  EXPECT_FALSE(socket.close());
  EXPECT_EQ(socket.sock(), kNoSocket);
}

TEST(SocketTest, ConnectedPairCarriesBytesAndShutdownThreeChangesNothing) {
  TcpTriple tcp;
  ASSERT_TRUE(tcp.open());
  EXPECT_TRUE(tcp.server.shutdown(3));
  ASSERT_EQ(tcp.server.send("ab\xE9", 3), 3);
  char buffer[8] = {};
  ASSERT_EQ(tcp.client.receive(buffer, 3), 3);
  EXPECT_EQ(std::string(buffer, 3), "ab\xE9");

  EXPECT_TRUE(tcp.client.shutdown(1));
  EXPECT_EQ(tcp.server.receive(buffer, sizeof buffer), 0) << "orderly close reads as 0";
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

class AcceptingOwner : public ListenSocket::Owner {
 public:
  void acceptConnection(std::unique_ptr<ClientConnection> connection) override {
    std::lock_guard<std::mutex> lock(mutex_);
    accepted_.push_back(std::move(connection));
    changed_.notify_all();
  }
  bool waitForConnections(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, test::kPatience, [&] { return accepted_.size() >= count; });
  }
  std::vector<std::unique_ptr<ClientConnection>> accepted_;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
};

// The listener hands every pending connection of a burst to its owner while it has one.
TEST(SocketTest, ListenSocketHandsPendingConnectionsToItsOwner) {
  ReactorPool pool;
  AcceptingOwner owner;
  ListenSocket listener(pool);
  ASSERT_TRUE(listener.create(0, Socket::Stream, "127.0.0.1"));
  ASSERT_TRUE(listener.setNonBlocking(true));
  ASSERT_TRUE(listener.listen(5));
  {
    ReactorPool::Section section(pool);
    listener.setOwner(&owner);
  }
  Socket clients[3];
  for (Socket& client : clients) {
    ASSERT_TRUE(client.create(0, Socket::Stream, "127.0.0.1"));
    ASSERT_TRUE(client.connect("127.0.0.1", listener.localPort()));
  }
  EXPECT_TRUE(owner.waitForConnections(3));
  {
    ReactorPool::Section section(pool);
    EXPECT_NE(listener.reactor(), nullptr);
    EXPECT_TRUE(listener.close());
    EXPECT_EQ(listener.reactor(), nullptr);
    owner.accepted_.clear();
  }
  pool.stopAll();
}

}  // namespace
}  // namespace quorvane
