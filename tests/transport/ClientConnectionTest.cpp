#include "transport/ClientConnection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/WaitFor.h"
#include "transport/ReactorPool.h"

namespace quorvane {
namespace {

using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

// Records what the connection hands up; called on the event-loop thread.
class RecordingOwner : public ClientConnection::Owner {
 public:
  explicit RecordingOwner(ClientConnection& connection) : connection_(connection) {}

  ClientConnection::Clock::duration handleLine(std::string_view line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(line);
    if (line == detachOn_) {
      connection_.setOwner(nullptr);
    }
    changed_.notify_all();
    return {};
  }
  void connectionLost() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++losses_;
    changed_.notify_all();
  }

  // The owner lets go of the connection when it receives this line, as a quitting session does.
  void detachOn(std::string line) {
    std::lock_guard<std::mutex> lock(mutex_);
    detachOn_ = std::move(line);
  }
  bool waitForLines(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, test::kPatience, [&] { return lines_.size() >= count; });
  }
  bool waitForLoss() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, test::kPatience, [&] { return losses_ > 0; });
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  int losses() {
    std::lock_guard<std::mutex> lock(mutex_);
    return losses_;
  }

 private:
  ClientConnection& connection_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::string detachOn_;
  int losses_ = 0;
};

// A ClientConnection accepted from a loopback listener, and the client end ("peer").
class ClientConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(listener_.create(0, Socket::Stream, "127.0.0.1"));
    ASSERT_TRUE(listener_.listen(5));
    ASSERT_TRUE(peer_.create(0, Socket::Stream, "127.0.0.1"));
    // Small buffers, so that a queue of a few megabytes cannot vanish into the kernel at once.
    limitBuffer(peer_, SO_RCVBUF);
    ASSERT_TRUE(peer_.connect("127.0.0.1", listener_.localPort()));
    ASSERT_TRUE(listener_.accept(connection_));
    limitBuffer(connection_, SO_SNDBUF);
    ASSERT_TRUE(connection_.setNonBlocking(true));
    ASSERT_TRUE(peer_.setNonBlocking(true));
  }
  void TearDown() override {
    connection_.setOwner(nullptr);
    connection_.close();
  }

  static void limitBuffer(const Socket& socket, int option) {
    int size = 64 * 1024;
    ::setsockopt(sys::native(socket.sock()), SOL_SOCKET, option,
                 reinterpret_cast<const char*>(&size), sizeof size);
  }
  bool isRegistered(int mask) { return ReactorPool::instance().isRegistered(&connection_, mask); }

  // The bytes sent here are few; the peer's empty send buffer takes them in one call.
  bool peerSend(const std::string& bytes) {
    return peer_.send(bytes.data(), static_cast<int>(bytes.size())) ==
           static_cast<int>(bytes.size());
  }
  // Reads until `count` bytes have come; pausing after every read keeps the sender's side full.
  std::string peerReceive(std::size_t count, bool slowly = false) {
    const auto deadline = Clock::now() + test::kPatience;
    std::string received;
    std::vector<char> buffer(64 * 1024);
    while (received.size() < count && Clock::now() < deadline) {
      int got = peer_.receive(buffer.data(), static_cast<int>(buffer.size()));
      if (got > 0) {
        received.append(buffer.data(), static_cast<std::size_t>(got));
      }
      if (got <= 0 || slowly) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    return received;
  }

  Socket listener_;
  Socket peer_;
  ClientConnection connection_;
  RecordingOwner owner_{connection_};
};

TEST_F(ClientConnectionTest, LinesAreCutAtLineFeedsAndAPartialLineWaitsForItsEnd) {
  ASSERT_TRUE(peerSend("one\r\ntwo\nthr"));
  connection_.setOwner(&owner_);
  ASSERT_TRUE(owner_.waitForLines(2));
  ASSERT_TRUE(peerSend("ee\nnul\0dropped\n\xE9\n"s));
  ASSERT_TRUE(owner_.waitForLines(5));
  const std::vector<std::string> expected = {"one\r\n", "two\n", "three\n", "nul", "\xE9\n"};
  EXPECT_EQ(owner_.lines(), expected);
}

TEST_F(ClientConnectionTest, LineFillingTheWholeBufferIsDelivered) {
  const std::string line = std::string(ClientConnection::kReceiveBufferSize - 1, 'x') + "\n";
  ASSERT_TRUE(peerSend(line + "next\n"));
  connection_.setOwner(&owner_);
  ASSERT_TRUE(owner_.waitForLines(2));
  EXPECT_EQ(owner_.lines(), (std::vector<std::string>{line, "next\n"}));
  EXPECT_EQ(owner_.losses(), 0);
}

TEST_F(ClientConnectionTest, FullBufferWithoutLineFeedLosesTheConnection) {
  connection_.setOwner(&owner_);
  ASSERT_TRUE(peerSend(std::string(ClientConnection::kReceiveBufferSize, 'x') + "y\n"));
  ASSERT_TRUE(owner_.waitForLoss());
  EXPECT_TRUE(owner_.lines().empty());
}

TEST_F(ClientConnectionTest, PeerCloseIsReportedOnceAndDropsTheReadRegistration) {
  connection_.setOwner(&owner_);
  ASSERT_TRUE(isRegistered(EventMask::Read));
  ASSERT_TRUE(peer_.close());
  ASSERT_TRUE(owner_.waitForLoss());
  // The pool lock is free only after the handler has returned, so the registration is final.
  EXPECT_FALSE(isRegistered(EventMask::Read));
  EXPECT_EQ(owner_.losses(), 1);
}

TEST_F(ClientConnectionTest, OwnerThatLetsGoDuringALineGetsNothingMore) {
  owner_.detachOn("quit\n");
  ASSERT_TRUE(peerSend("a\nquit\nb\npartial"));
  connection_.setOwner(&owner_);
  ASSERT_TRUE(owner_.waitForLines(2));
  EXPECT_FALSE(isRegistered(EventMask::Read));
  EXPECT_EQ(owner_.lines(), (std::vector<std::string>{"a\n", "quit\n"}));

  // What was buffered behind "quit" is gone; a new owner starts with fresh input.
  owner_.detachOn("");
  connection_.setOwner(&owner_);
  ASSERT_TRUE(peerSend("c\n"));
  ASSERT_TRUE(owner_.waitForLines(3));
  EXPECT_EQ(owner_.lines().back(), "c\n");
}

TEST_F(ClientConnectionTest, QueuedLinesGoOutInOrderAndWriteIsRegisteredPerBatch) {
  {
    // Holding the pool lock keeps the event loop from draining the queue meanwhile.
    std::lock_guard<std::recursive_mutex> hold(ReactorPool::instance().mutex());
    connection_.queueText("first\r\n");
    EXPECT_TRUE(isRegistered(EventMask::Write));
    connection_.queueText("");
    connection_.queueText("second\r\n");
    EXPECT_EQ(connection_.queuedLines(), 3u);
  }
  EXPECT_EQ(peerReceive(15), "first\r\nsecond\r\n");
  EXPECT_TRUE(test::waitFor([&] { return !isRegistered(EventMask::Write); }));
  EXPECT_EQ(connection_.queuedLines(), 0u);

  connection_.queueText("\xE9\r\n");
  EXPECT_EQ(peerReceive(3), "\xE9\r\n");
}

TEST_F(ClientConnectionTest, LargeQueueArrivesIntactWhileThePeerReadsSlowly) {
  std::string expected;
  for (int i = 0; i < 64; ++i) {
    // Lines of very different lengths, each of its own letter, so misordering shows.
    const std::size_t length = (i % 4 == 0) ? 40 * 1024 + i : 1 + i * 97;
    std::string line = std::string(length, static_cast<char>('a' + i % 26)) + "\r\n";
    expected += line;
    connection_.queueText(std::move(line));
  }
  // The peer has not read yet: the rest waits in the queue with Write registered.
  EXPECT_GT(connection_.queuedLines(), 0u);
  EXPECT_TRUE(isRegistered(EventMask::Write));

  const std::string received = peerReceive(expected.size(), true);
  ASSERT_EQ(received.size(), expected.size());
  const auto mismatch = std::mismatch(received.begin(), received.end(), expected.begin());
  EXPECT_TRUE(mismatch.first == received.end())
      << "first difference at byte " << (mismatch.first - received.begin());
  EXPECT_TRUE(test::waitFor([&] { return connection_.queuedLines() == 0; }));
}

TEST_F(ClientConnectionTest, OutputPastTheLimitOfAPeerThatDoesNotReadLosesTheConnection) {
  connection_.setOwner(&owner_);
  const std::string line = std::string(8 * 1024 - 2, 'x') + "\r\n";
  // The peer never reads: its buffers fill, then the queue grows to the limit.
  std::size_t offered = 0;
  while (offered <= 4 * ClientConnection::kOutputLimit && owner_.losses() == 0) {
    connection_.queueText(line);
    offered += line.size();
    EXPECT_LE(connection_.queuedBytes(), ClientConnection::kOutputLimit);
  }
  EXPECT_TRUE(owner_.waitForLoss());
  EXPECT_EQ(connection_.queuedBytes(), 0u);
  connection_.queueText(line);
  EXPECT_EQ(connection_.queuedLines(), 0u) << "nothing more is queued for a lost connection";
}

TEST_F(ClientConnectionTest, ARetiredConnectionDeliversItsLastLinesAndClosesWithoutAReset) {
  auto retiring = std::make_unique<ClientConnection>();
  Socket client;
  ASSERT_TRUE(client.create(0, Socket::Stream, "127.0.0.1"));
  ASSERT_TRUE(client.connect("127.0.0.1", listener_.localPort()));
  ASSERT_TRUE(listener_.accept(*retiring));
  ASSERT_TRUE(retiring->setNonBlocking(true));
  // The client has sent input that nobody will read: closing under it would reset the
  // connection and could throw away the last line on its way to the client.
  const std::string unread(32 * 1024, 'x');
  ASSERT_EQ(client.send(unread.data(), static_cast<int>(unread.size())), 32 * 1024);
  retiring->queueText("kicked\r\n");
  ClientConnection::retire(std::move(retiring));

  std::string received;
  char buffer[256];
  int got = -1;
  ASSERT_TRUE(test::waitReadable(client.sock()));
  ASSERT_TRUE(client.setNonBlocking(true));
  while (test::waitReadable(client.sock()) &&
         (got = client.receive(buffer, sizeof buffer)) > 0) {
    received.append(buffer, got);
  }
  EXPECT_EQ(received, "kicked\r\n");
  EXPECT_EQ(got, 0) << "the connection ends with an orderly close, not a reset";
  // Once the client has closed too, the retired connection is gone.
  client.close();
  EXPECT_TRUE(test::waitFor([] { return ReactorPool::instance().retiredCount() == 0; }));
}

// A peer that neither reads nor closes cannot keep a retired connection: it ends when its time
// is up, whatever else happens meanwhile.
TEST_F(ClientConnectionTest, ARetiredConnectionEndsWhenItsTimeIsUp) {
  auto retiring = std::make_unique<ClientConnection>();
  Socket client;
  ASSERT_TRUE(client.create(0, Socket::Stream, "127.0.0.1"));
  ASSERT_TRUE(client.connect("127.0.0.1", listener_.localPort()));
  ASSERT_TRUE(listener_.accept(*retiring));
  ASSERT_TRUE(retiring->setNonBlocking(true));
  const auto begin = std::chrono::steady_clock::now();
  ClientConnection::retire(std::move(retiring));
  EXPECT_TRUE(test::waitFor([] { return ReactorPool::instance().retiredCount() == 0; },
                            std::chrono::seconds(8)));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_GE(seconds, 4.9);
  EXPECT_LT(seconds, 6.5);
}

}  // namespace
}  // namespace quorvane
