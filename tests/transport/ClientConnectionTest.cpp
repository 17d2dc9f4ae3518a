// One client connection over loopback: lines cut at line feeds, a line that must wait, an owner
// that lets go, a peer that closes, the output limit, a list sent as the peer reads, and a retired
// connection's end. Guards against line cutting and the 2048-byte limit going wrong, output
// reordered or lost, and unbounded queues.
#include "transport/ClientConnection.h"

#include <gtest/gtest.h>

#include <chrono>
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
using Section = ReactorPool::Section;

// Records what the connection hands up; called on the loop's thread with the lock held.
class RecordingOwner : public ClientConnection::Owner {
 public:
  explicit RecordingOwner(ClientConnection& connection) : connection_(connection) {}

  Clock::duration handleLine(std::string_view line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (line == waitOn && waits_++ == 0) return std::chrono::milliseconds(100);
    lines.emplace_back(line);
    lineTimes.push_back(Clock::now());
    if (line == detachOn) connection_.setOwner(nullptr);
    return {};
  }
  void connectionLost() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++losses;
  }
  void deadlinePassed() override {
    std::lock_guard<std::mutex> lock(mutex_);
    deadlineAt = Clock::now();
  }
  // A recorded field, read under the lock.
  template <typename T>
  T get(const T& field) {
    std::lock_guard<std::mutex> lock(mutex_);
    return field;
  }
  bool waitForLines(std::size_t count) {
    return test::waitFor([&] { return get(lines).size() >= count; });
  }
  bool waitForLoss() {
    return test::waitFor([&] { return get(losses) > 0; });
  }

  // Set while no loop can call: the owner lets go of the connection on this line, as a quitting
  // session does; the first time the other line comes, it must wait 100 ms.
  std::string detachOn, waitOn;
  std::vector<std::string> lines;
  std::vector<Clock::time_point> lineTimes;
  int losses = 0;
  Clock::time_point deadlineAt{};

 private:
  ClientConnection& connection_;
  std::mutex mutex_;
  int waits_ = 0;
};

// A connection accepted from a loopback listener, and the client end ("peer").
class ClientConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    connection_ = std::make_unique<ClientConnection>(pool_);
    owner_ = std::make_unique<RecordingOwner>(*connection_);
    ASSERT_TRUE(listener_.create(0, Socket::Stream, "127.0.0.1"));
    ASSERT_TRUE(listener_.listen(5));
    ASSERT_TRUE(peer_.create(0, Socket::Stream, "127.0.0.1"));
    // Small buffers, so that a queue of a few megabytes cannot vanish into the kernel at once.
    limitBuffer(peer_, SO_RCVBUF);
    ASSERT_TRUE(peer_.connect("127.0.0.1", listener_.localPort()));
    ASSERT_TRUE(listener_.accept(*connection_));
    limitBuffer(*connection_, SO_SNDBUF);
    ASSERT_TRUE(connection_->setNonBlocking(true));
    ASSERT_TRUE(peer_.setNonBlocking(true));
  }
  void TearDown() override {
    {
      Section section(pool_);
      connection_.reset();
    }
    pool_.stopAll();
  }
  void own() {
    Section section(pool_);
    connection_->setOwner(owner_.get());
  }
  void queue(const std::string& line) {
    Section section(pool_);
    connection_->queueText(line);
  }
  std::size_t unsent() {
    Section section(pool_);
    return connection_->unsentBytes();
  }

  static void limitBuffer(const Socket& socket, int option) {
    int size = 64 * 1024;
    ::setsockopt(sys::native(socket.sock()), SOL_SOCKET, option,
                 reinterpret_cast<const char*>(&size), sizeof size);
  }
  // The bytes sent here are few; the peer's empty send buffer takes them in one call.
  bool peerSend(const std::string& bytes) {
    return peer_.send(bytes.data(), static_cast<int>(bytes.size())) ==
           static_cast<int>(bytes.size());
  }
  // Reads until `count` bytes have come, or the peer closed; pausing after every read keeps the
  // sender's side full.
  std::string peerReceive(std::size_t count, bool slowly = false, int* last = nullptr) {
    const auto deadline = Clock::now() + test::kPatience;
    std::string received;
    std::vector<char> buffer(64 * 1024);
    while (received.size() < count && Clock::now() < deadline) {
      const int got = peer_.receive(buffer.data(), static_cast<int>(buffer.size()));
      if (last != nullptr) *last = got;
      if (got == 0) break;
      if (got > 0) received.append(buffer.data(), static_cast<std::size_t>(got));
      if (got < 0 || slowly) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return received;
  }

  ReactorPool pool_;
  Socket listener_;
  Socket peer_;
  std::unique_ptr<ClientConnection> connection_;
  std::unique_ptr<RecordingOwner> owner_;
};

// A line may be 2048 bytes long with its line feed, the size of the server's receive buffer. A
// line the owner cannot take yet stops reading; the same line comes again after the wait, and the
// lines behind it follow in order.
TEST_F(ClientConnectionTest, LinesAreCutAtLineFeedsUpToTheBufferSizeAndWaitInOrder) {
  const std::string full = std::string(2047, 'x') + "\n";
  owner_->waitOn = "two\n";
  const auto begin = Clock::now();
  ASSERT_TRUE(peerSend("one\r\ntwo\nthr"));
  own();
  ASSERT_TRUE(owner_->waitForLines(2));
  EXPECT_GE(owner_->get(owner_->lineTimes).at(1) - begin, std::chrono::milliseconds(100));
  ASSERT_TRUE(peerSend("ee\nnul\0dropped\n\xE9\n"s + full));
  ASSERT_TRUE(owner_->waitForLines(6));
  EXPECT_EQ(owner_->get(owner_->lines),
            (std::vector<std::string>{"one\r\n", "two\n", "three\n", "nul", "\xE9\n", full}));
  {
    Section section(pool_);
    EXPECT_FALSE(connection_->paused());
  }
  // A full buffer without a line feed ends the connection as if the peer had closed it.
  ASSERT_TRUE(peerSend(std::string(2048, 'y') + "\n"));
  EXPECT_TRUE(owner_->waitForLoss());
  EXPECT_EQ(owner_->get(owner_->lines).size(), 6u);
}

TEST_F(ClientConnectionTest, AnOwnerThatLetsGoGetsNothingMoreAndACloseIsReportedOnce) {
  owner_->detachOn = "quit\n";
  ASSERT_TRUE(peerSend("a\nquit\nb\npartial"));
  own();
  ASSERT_TRUE(owner_->waitForLines(2));
  // What was buffered behind "quit" is gone; a new owner starts with fresh input.
  owner_->detachOn.clear();
  own();
  ASSERT_TRUE(peerSend("c\n"));
  ASSERT_TRUE(owner_->waitForLines(3));
  EXPECT_EQ(owner_->get(owner_->lines), (std::vector<std::string>{"a\n", "quit\n", "c\n"}));
  // The peer's close is reported, once.
  ASSERT_TRUE(peer_.close());
  ASSERT_TRUE(owner_->waitForLoss());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(owner_->get(owner_->losses), 1);
}

// A list longer than the output limit arrives whole and in order to a peer that reads slowly (so
// that sends stop part-way through lines); what was queued while it lasted follows it; the
// deadline comes at its time.
TEST_F(ClientConnectionTest, AListArrivesWholeAndTheLinesQueuedMeanwhileFollow) {
  std::vector<std::shared_ptr<const std::string>> list;
  std::string expected;
  for (int i = 0; i < 200; ++i) {
    auto line = std::make_shared<const std::string>(std::string(1000, 'a' + i % 26) + "\r\n");
    expected += *line;
    list.push_back(line);
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(30);
  {
    Section section(pool_);
    connection_->setOwner(owner_.get());
    connection_->setOutputLimit(16 * 1024);
    connection_->queueText("before\r\n");
    connection_->queueList(list);
    connection_->queueText("after\r\n");
    connection_->setDeadline(deadline);
  }
  expected = "before\r\n" + expected + "after\r\n";
  EXPECT_EQ(peerReceive(expected.size(), true), expected);
  EXPECT_EQ(owner_->get(owner_->losses), 0);
  ASSERT_TRUE(
      test::waitFor([&] { return owner_->get(owner_->deadlineAt) != Clock::time_point{}; }));
  EXPECT_GE(owner_->get(owner_->deadlineAt), deadline);
  EXPECT_TRUE(test::waitFor([&] { return unsent() == 0; }));
}

// A retired connection delivers its last line and closes without a reset, although the peer has
// sent input that nobody will read (closing under it would reset the connection and could throw
// the line away). A peer that neither reads on nor closes cannot keep it: it ends when its time
// is up.
TEST_F(ClientConnectionTest, ARetiredConnectionDeliversItsLastLineAndEndsInItsTime) {
  const std::string unread(32 * 1024, 'x');
  ASSERT_EQ(peer_.send(unread.data(), static_cast<int>(unread.size())), 32 * 1024);
  const auto begin = Clock::now();
  {
    Section section(pool_);
    connection_->setOwner(owner_.get());
    connection_->queueText("kicked\r\n");
    connection_->setOwner(nullptr);
    ClientConnection::retire(std::move(connection_));
  }
  int last = -1;
  EXPECT_EQ(peerReceive(100, false, &last), "kicked\r\n");
  EXPECT_EQ(last, 0) << "the connection ends with an orderly close, not a reset";
  EXPECT_TRUE(test::waitFor(
      [&] {
        Section section(pool_);
        return pool_.retiredCount() == 0;
      },
      std::chrono::seconds(8)));
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  EXPECT_GE(seconds, 4.9);
  EXPECT_LT(seconds, 6.5);
}

}  // namespace
}  // namespace quorvane
