#include "server/VoiceRelay.h"

#include "transport/ThreadPriority.h"

namespace quorvane {

namespace {

using Clock = std::chrono::steady_clock;

Clock::rep ticksNow() { return Clock::now().time_since_epoch().count(); }

constexpr Clock::rep ticks(std::chrono::microseconds span) {
  return std::chrono::duration_cast<Clock::duration>(span).count();
}

}  // namespace

VoiceRelay::VoiceRelay(DatagramSocket& socket, VoiceDirectory& directory, HelloSink hellos,
                       ServerMetrics& metrics)
    : socket_(socket), directory_(directory), hellos_(std::move(hellos)), metrics_(metrics) {}

VoiceRelay::~VoiceRelay() { stop(); }

void VoiceRelay::start() {
  if (thread_.joinable()) return;
  stopping_ = false;
  thread_ = std::thread([this] { run(); });
}

void VoiceRelay::stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  socket_.wakeReceiver();
  thread_.join();
}

void VoiceRelay::run() {
  runThisThreadAhead();
  // While the loops pass, the wait is outside the relaying lock, so that a loop may relay
  // meanwhile. A batch that was not full emptied the socket, so the thread waits at once (the
  // wait ends at once if more came), unless a stop came meanwhile: the batch may have taken the
  // datagram that stop sends to wake the thread. While no loop passes, none would help, so the
  // thread waits in the receive itself, under the lock: one system call a wake-up fewer. A loop
  // that passes meanwhile finds the lock taken; from the next batch on, the thread waits outside
  // it again. A failure of one read says nothing of the next.
  while (!stopping_) {
    const bool quiet = loopsQuiet();
    int count = 0;
    {
      std::lock_guard<std::mutex> guard(relaying_);
      count = relayBatch(quiet);
    }
    if (!quiet && count < DatagramSocket::kBatch && !stopping_) socket_.waitForDatagram();
  }
}

bool VoiceRelay::loopsQuiet() const {
  return ticksNow() - lastHelp_.load(std::memory_order_relaxed) > ticks(kQuietAfter);
}

void VoiceRelay::help() {
  const Clock::rep now = ticksNow();
  Clock::rep last = lastHelp_.load(std::memory_order_relaxed);
  if (now - last < ticks(kHelpGap) || !lastHelp_.compare_exchange_strong(last, now)) return;
  std::unique_lock<std::mutex> guard(relaying_, std::try_to_lock);
  if (guard) relayBatch();
}

void VoiceRelay::relayWaiting() {
  std::lock_guard<std::mutex> guard(relaying_);
  while (relayBatch() > 0) {
  }
}

int VoiceRelay::relayBatch(bool waiting) {
  int lengths[DatagramSocket::kBatch];
  Endpoint senders[DatagramSocket::kBatch];
  const int count = socket_.receive(&buffers_[0][0], kDatagramSize, DatagramSocket::kBatch,
                                    lengths, senders, waiting);
  if (count <= 0) return count;
  bump(metrics_.voiceReceived, static_cast<std::uint64_t>(count));
  for (int i = 0; i < count; ++i) take(buffers_[i], lengths[i], senders[i]);
  flush();
  return count;
}

void VoiceRelay::take(std::uint8_t* datagram, int length, const Endpoint& from) {
  // Anything but a full datagram of a kind the server acts on is dropped.
  if (length != kDatagramSize) return bump(metrics_.voiceDropped[ServerMetrics::Ignored]);
  if (datagram[0] == kVoiceToForward) {
    ServerMetrics::VoiceDrop why = ServerMetrics::Ignored;
    const auto target = directory_.forwardTarget(from, forwardRecipient(datagram),
                                                 VoiceDirectory::Clock::now(), &why);
    if (!target) return bump(metrics_.voiceDropped[why]);
    // Sent from the receive buffer with one byte changed, with the others of its batch.
    datagram[0] = kVoiceForwarded;
    outgoing_[outgoingCount_++] = {datagram, kDatagramSize, *target};
  } else if (datagram[0] == kVoiceHello) {
    if (!directory_.helloCounts(helloId(datagram), from)) {
      return bump(metrics_.voiceDropped[ServerMetrics::HelloRefused]);
    }
    // What was forwarded before the hello leaves before its reply can.
    flush();
    hellos_(Hello{helloId(datagram), from, helloConfirms(datagram)});
  } else {
    bump(metrics_.voiceDropped[ServerMetrics::Ignored]);
  }
}

void VoiceRelay::flush() {
  if (outgoingCount_ == 0) return;
  groupByDestination();
  bump(metrics_.voiceForwarded, static_cast<std::uint64_t>(outgoingCount_));
  socket_.send(outgoing_, outgoingCount_);
  outgoingCount_ = 0;
}

void VoiceRelay::groupByDestination() {
  // A stable insertion sort: the batch is small, and each destination keeps its datagrams' order.
  for (int i = 1; i < outgoingCount_; ++i) {
    const DatagramSocket::Outgoing moving = outgoing_[i];
    int j = i;
    for (; j > 0 && moving.destination.key() < outgoing_[j - 1].destination.key(); --j) {
      outgoing_[j] = outgoing_[j - 1];
    }
    outgoing_[j] = moving;
  }
}

}  // namespace quorvane
