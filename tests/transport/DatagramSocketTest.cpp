#include "transport/DatagramSocket.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "support/WaitFor.h"
#include "transport/ReactorPool.h"

namespace quorvane {
namespace {


struct VoiceCall {
  std::string what;  // "hello" or "forward"
  std::vector<std::uint8_t> bytes;
  std::string address;
  int port = -1;
};

// Records the datagrams that reach the owner; called on the event-loop thread.
class RecordingVoice : public DatagramSocket::Owner {
 public:
  void onVoiceHello(Datagram datagram, const std::string& address, int port) override {
    record(VoiceCall{"hello", {datagram.begin(), datagram.end()}, address, port});
  }
  void onVoiceForward(Datagram datagram, const sockaddr_in& sender) override {
    record(VoiceCall{"forward", {datagram.begin(), datagram.end()}, sys::dottedQuad(sender.sin_addr),
                     ntohs(sender.sin_port)});
  }
  bool waitForCalls(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, test::kPatience, [&] { return calls_.size() >= count; });
  }
  std::vector<VoiceCall> calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  void record(VoiceCall call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<VoiceCall> calls_;
};

class DatagramSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(voice_.create(0, Socket::Datagram, "127.0.0.1"));
    ASSERT_TRUE(voice_.setNonBlocking(true));
    ASSERT_TRUE(sender_.create(0, Socket::Datagram, "127.0.0.1"));
  }
  void TearDown() override {
    voice_.setOwner(nullptr);
    voice_.close();
  }

  // Sends `size` bytes: the kind, then byte 1 = 2, byte 2 = `id`, byte 4 = `target`.
  void send(std::uint8_t kind, int size, std::uint8_t id = 0, std::uint8_t target = 0) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size), 0);
    bytes[0] = kind;
    bytes[1] = 2;
    bytes[2] = id;
    bytes[4] = target;
    ASSERT_EQ(sender_.sendTo(bytes.data(), size, voice_.localPort(), "127.0.0.1"), size);
  }

  DatagramSocket voice_;
  Socket sender_;
  RecordingVoice owner_;
};

TEST_F(DatagramSocketTest, HelloReachesTheOwnerWithTheSendersAddressAndPort) {
  voice_.setOwner(&owner_);
  send(kVoiceHello, kDatagramSize, 7);
  ASSERT_TRUE(owner_.waitForCalls(1));
  const VoiceCall call = owner_.calls().at(0);
  EXPECT_EQ(call.what, "hello");
  EXPECT_EQ(call.address, "127.0.0.1");
  EXPECT_EQ(call.port, sender_.localPort());
  EXPECT_EQ(call.bytes.size(), static_cast<std::size_t>(kDatagramSize));
  EXPECT_EQ(call.bytes[2], 7);
}

TEST_F(DatagramSocketTest, OnlyFullSizeDatagramsOfKindsOneAndFiveReachTheOwner) {
  voice_.setOwner(&owner_);
  send(kVoiceHello, kDatagramSize - 1);
  send(kVoiceHello, kDatagramSize + 1);
  send(kVoiceKeepAlive, kDatagramSize);
  send(kVoiceHelloReply, kDatagramSize);
  send(kVoiceToForward, kDatagramSize, 0, 9);
  // Datagrams from one sender arrive in order: whatever was not ignored came before this one.
  ASSERT_TRUE(owner_.waitForCalls(1));
  const std::vector<VoiceCall> calls = owner_.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].what, "forward");
  EXPECT_EQ(calls[0].bytes[0], kVoiceToForward);
  EXPECT_EQ(calls[0].bytes[4], 9);
  EXPECT_TRUE(ReactorPool::instance().isRegistered(&voice_, EventMask::Read));
}

TEST_F(DatagramSocketTest, WithoutOwnerOnlyKindsThatNeedOneDropTheRegistration) {
  // Each call below reads the datagram sent just before it, once it has arrived.
  send(kVoiceHelloReply, kDatagramSize);
  ASSERT_TRUE(test::waitReadable(voice_.sock()));
  EXPECT_TRUE(voice_.handleInput());
  send(kVoiceHello, kDatagramSize);
  ASSERT_TRUE(test::waitReadable(voice_.sock()));
  EXPECT_FALSE(voice_.handleInput());
}

// Answers hellos and forwards voice to one address, as the server does.
class Relay : public DatagramSocket::Owner {
 public:
  explicit Relay(const sockaddr_in& to) : to_(to) {}
  void onVoiceHello(Datagram datagram, const std::string&, int) override {
    const std::uint8_t reply[kDatagramSize] = {kVoiceHelloReply, 2, datagram[2], datagram[3]};
    socket->sendOwn(reply, to_);
  }
  void onVoiceForward(Datagram datagram, const sockaddr_in&) override {
    datagram[0] = kVoiceForwarded;
    socket->sendReceived(datagram.data(), to_);
  }
  DatagramSocket* socket = nullptr;

 private:
  sockaddr_in to_;
};

// Datagrams to one address leave in the order the server made them: a hello reply does not
// overtake voice forwarded before it in the same batch.
TEST_F(DatagramSocketTest, RepliesKeepTheirPlaceAmongForwardedDatagrams) {
  Socket receiver;
  ASSERT_TRUE(receiver.create(0, Socket::Datagram, "127.0.0.1"));
  Relay relay(sys::resolveAddress("127.0.0.1", receiver.localPort()));
  DatagramSocket unregistered(&relay);  // read by hand below, all three in one batch
  relay.socket = &unregistered;
  ASSERT_TRUE(unregistered.create(0, Socket::Datagram, "127.0.0.1"));
  for (std::uint8_t kind : {kVoiceToForward, kVoiceHello, kVoiceToForward}) {
    std::vector<std::uint8_t> bytes(kDatagramSize, 0);
    bytes[0] = kind;
    ASSERT_EQ(sender_.sendTo(bytes.data(), kDatagramSize, unregistered.localPort(), "127.0.0.1"),
              kDatagramSize);
  }
  ASSERT_TRUE(test::waitReadable(unregistered.sock()));
  EXPECT_TRUE(unregistered.handleInput());
  std::vector<int> kinds;
  std::uint8_t buffer[kDatagramSize];
  while (test::waitReadable(receiver.sock(), std::chrono::milliseconds(500))) {
    std::string address;
    int port = 0;
    if (receiver.receiveFrom(buffer, kDatagramSize, address, port) != kDatagramSize) break;
    kinds.push_back(buffer[0]);
  }
  EXPECT_EQ(kinds, (std::vector<int>{kVoiceForwarded, kVoiceHelloReply, kVoiceForwarded}));
}

}  // namespace
}  // namespace quorvane
