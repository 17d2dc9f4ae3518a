// The datagram socket: a receive that waits for the next datagram and tells its sender, a cut
// datagram that cannot pass as a whole one, a wait ended from another thread, and batched sends.
// Guards against a cut datagram passing as whole, a receive that cannot be woken, and lost batch
// sends.
#include "transport/DatagramSocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/WaitFor.h"

namespace quorvane {
namespace {

constexpr int kSize = 150;

class DatagramSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(socket_.create(0, Socket::Datagram, "127.0.0.1"));
    ASSERT_TRUE(sender_.create(0, Socket::Datagram, "127.0.0.1"));
  }
  void sendBytes(int size, std::uint8_t first) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size), 0);
    bytes[0] = first;
    ASSERT_EQ(sender_.sendTo(bytes.data(), size, socket_.localPort(), "127.0.0.1"), size);
  }

  DatagramSocket socket_;
  Socket sender_;
  std::uint8_t buffers_[DatagramSocket::kBatch][kSize] = {};
  int lengths_[DatagramSocket::kBatch] = {};
  Endpoint senders_[DatagramSocket::kBatch];
};

TEST_F(DatagramSocketTest, ReceiveTakesWhatWaitsAndTellsLengthsAndSenders) {
  sendBytes(kSize, 1);
  sendBytes(kSize + 1, 2);
  sendBytes(kSize - 1, 3);
  ASSERT_TRUE(test::waitReadable(socket_.sock()));
  int taken = 0;
  while (taken < 3) {
    const int count = socket_.receive(&buffers_[taken][0], kSize, DatagramSocket::kBatch - taken,
                                      lengths_ + taken, senders_ + taken);
    ASSERT_GT(count, 0);
    taken += count;
  }
  EXPECT_EQ(lengths_[0], kSize);
  EXPECT_GT(lengths_[1], kSize) << "a datagram cut short must not pass as a whole one";
  EXPECT_EQ(lengths_[2], kSize - 1);
  EXPECT_EQ(buffers_[2][0], 3);
  EXPECT_EQ(senders_[0], Endpoint::of("127.0.0.1", sender_.localPort()));
}

TEST_F(DatagramSocketTest, AWaitingReceiveEndsWhenWoken) {
  std::atomic<int> result{-2};
  std::thread receiver([&] {
    result = socket_.receive(&buffers_[0][0], kSize, 1, lengths_, senders_);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  socket_.wakeReceiver();
  receiver.join();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(lengths_[0], 0);
}

TEST_F(DatagramSocketTest, SendsEveryDatagramOfABatchLargerThanOneCall) {
  Socket receiver;
  ASSERT_TRUE(receiver.create(0, Socket::Datagram, "127.0.0.1"));
  std::vector<std::uint8_t> bytes(DatagramSocket::kBatch + 6);
  std::vector<DatagramSocket::Outgoing> batch;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(i);
    batch.push_back({&bytes[i], 1, Endpoint::of("127.0.0.1", receiver.localPort())});
  }
  batch.push_back({&bytes[0], 1, Endpoint{}});  // nowhere: fails without stopping the rest
  batch.push_back({&bytes[1], 1, Endpoint::of("127.0.0.1", receiver.localPort())});
  socket_.send(batch.data(), static_cast<int>(batch.size()));
  for (std::size_t i = 0; i <= bytes.size(); ++i) {
    ASSERT_TRUE(test::waitReadable(receiver.sock()));
    std::uint8_t got = 0;
    std::string address;
    int port = 0;
    ASSERT_EQ(receiver.receiveFrom(&got, 1, address, port), 1);
    EXPECT_EQ(got, i < bytes.size() ? bytes[i] : 1);
  }
}

}  // namespace
}  // namespace quorvane
