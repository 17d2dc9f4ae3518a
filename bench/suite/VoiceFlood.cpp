#include "suite/VoiceFlood.h"

#include <arpa/inet.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "client/VoiceDatagrams.h"
#include "suite/Stats.h"

namespace quorvane {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kBatch = 64;
// Where the bench marks its datagrams, in bytes the subject passes on unchanged.
constexpr std::size_t kTagOffset = 8;
constexpr std::size_t kSequenceOffset = 12;
constexpr int kReceiveBuffer = 4 << 20;
// A full window with nothing arriving for this long counts as lost.
constexpr int kStallMs = 20;
// Time for the datagrams still on their way when the senders stop.
constexpr auto kSettle = std::chrono::milliseconds(500);
constexpr int kRoundTripPatienceMs = 1000;

std::uint32_t freshTag() {
  static std::mt19937 random(std::random_device{}());
  return static_cast<std::uint32_t>(random());
}

// The datagrams of one send: up to kBatch to one address, back to back, cycling over the
// receivers. Sent as one UDP_SEGMENT (GSO) message, which the kernel splits into datagrams before
// they reach the subject's socket; this halves the bench's cost per datagram, so the bench
// outruns what it measures. Kernels without it get sendmmsg.
struct SendGroup {
  SendGroup(const sockaddr_in& to, const std::vector<VoiceDatagram>& datagrams,
            std::size_t first, std::size_t step)
      : target(to), bytes(kBatch * kVoiceDatagramSize) {
    for (std::size_t j = 0; j < kBatch; ++j) {
      const VoiceDatagram& datagram = datagrams[(first + j * step) % datagrams.size()];
      std::memcpy(bytes.data() + j * kVoiceDatagramSize, datagram.data(), kVoiceDatagramSize);
    }
  }

  // Sends the first `count` datagrams; the number sent.
  int send(int fd, int count) {
    static bool segmentation = true;
    if (segmentation) {
      if (sendSegmented(fd, count)) return count;
      if (errno != EINVAL && errno != EIO && errno != ENOPROTOOPT && errno != EOPNOTSUPP) {
        return 0;
      }
      segmentation = false;
    }
    return sendEach(fd, count);
  }

  // One message that the kernel cuts into datagrams of kVoiceDatagramSize.
  bool sendSegmented(int fd, int count) {
    iovec vector{bytes.data(), static_cast<std::size_t>(count) * kVoiceDatagramSize};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
    msghdr message{};
    message.msg_name = &target;
    message.msg_namelen = sizeof target;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_UDP;
    header->cmsg_type = UDP_SEGMENT;
    header->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
    const std::uint16_t size = kVoiceDatagramSize;
    std::memcpy(CMSG_DATA(header), &size, sizeof size);
    return ::sendmsg(fd, &message, 0) >= 0;
  }

  // One datagram per message of a sendmmsg.
  int sendEach(int fd, int count) {
    mmsghdr messages[kBatch];
    iovec vectors[kBatch];
    for (int j = 0; j < count; ++j) {
      vectors[j] = {bytes.data() + j * kVoiceDatagramSize, kVoiceDatagramSize};
      messages[j] = {};
      messages[j].msg_hdr.msg_name = &target;
      messages[j].msg_hdr.msg_namelen = sizeof target;
      messages[j].msg_hdr.msg_iov = &vectors[j];
      messages[j].msg_hdr.msg_iovlen = 1;
    }
    return std::max(0, ::sendmmsg(fd, messages, static_cast<unsigned>(count), 0));
  }

  sockaddr_in target;
  std::vector<std::uint8_t> bytes;
};

// The groups of a flood: one to the subject holding datagrams for every receiver in turn, or
// (straight to the receivers) one per receiver.
std::vector<SendGroup> sendGroups(const VoiceEndpoints& endpoints, bool direct,
                                  std::uint32_t tag) {
  std::vector<VoiceDatagram> datagrams;
  for (const int id : endpoints.receiverIds) {
    VoiceDatagram payload{};
    std::memcpy(payload.data() + kTagOffset, &tag, sizeof tag);
    datagrams.push_back(voiceDatagram(id, payload));
    if (direct) datagrams.back()[0] = kForwardedKind;
  }
  std::vector<SendGroup> groups;
  if (!direct) {
    groups.emplace_back(endpoints.subject, datagrams, 0, 1);
    return groups;
  }
  for (std::size_t r = 0; r < endpoints.receivers.size(); ++r) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(endpoints.receivers[r], reinterpret_cast<sockaddr*>(&address), &length);
    groups.emplace_back(address, datagrams, r, 0);
  }
  return groups;
}

// Reads what has arrived at the receivers and counts the datagrams of `kind` with the tag.
// Epoll over the receivers, recvmmsg on each ready one.
class ArrivalCounter {
 public:
  ArrivalCounter(const VoiceEndpoints& endpoints, std::uint8_t kind, std::uint32_t tag)
      : poller_(::epoll_create1(EPOLL_CLOEXEC)), kind_(kind), tag_(tag) {
    for (const int fd : endpoints.receivers) {
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.fd = fd;
      ::epoll_ctl(poller_, EPOLL_CTL_ADD, fd, &event);
    }
  }
  ~ArrivalCounter() { ::close(poller_); }
  ArrivalCounter(const ArrivalCounter&) = delete;
  ArrivalCounter& operator=(const ArrivalCounter&) = delete;

  // Waits up to `waitMs` for the first arrival; the number counted by this call.
  std::uint64_t collect(int waitMs) {
    epoll_event ready[16];
    const int count = ::epoll_wait(poller_, ready, 16, waitMs);
    std::uint64_t counted = 0;
    for (int i = 0; i < count; ++i) counted += drain(ready[i].data.fd);
    received_ += counted;
    return counted;
  }

  std::uint64_t received() const { return received_; }

 private:
  std::uint64_t drain(int fd) {
    std::uint64_t counted = 0;
    for (;;) {
      for (std::size_t j = 0; j < kBatch; ++j) {
        vectors_[j] = {buffers_[j], sizeof buffers_[j]};
        messages_[j] = {};
        messages_[j].msg_hdr.msg_iov = &vectors_[j];
        messages_[j].msg_hdr.msg_iovlen = 1;
      }
      const int n = ::recvmmsg(fd, messages_, kBatch, MSG_DONTWAIT, nullptr);
      if (n <= 0) return counted;
      for (int j = 0; j < n; ++j) {
        std::uint32_t seen = 0;
        std::memcpy(&seen, buffers_[j] + kTagOffset, sizeof seen);
        if (messages_[j].msg_len == kVoiceDatagramSize && buffers_[j][0] == kind_ &&
            seen == tag_) {
          ++counted;
        }
      }
    }
  }

  int poller_;
  std::uint8_t kind_;
  std::uint32_t tag_;
  std::uint64_t received_ = 0;
  std::uint8_t buffers_[kBatch][256];
  iovec vectors_[kBatch];
  mmsghdr messages_[kBatch];
};

// How many datagrams to send now: paced by `rate`, or (rate 0) as many as fit the window.
int sendable(double rate, double elapsed, std::uint64_t sent, std::uint64_t inFlight) {
  if (rate > 0) {
    const double due = rate * elapsed - static_cast<double>(sent);
    return due < 1 ? 0 : static_cast<int>(std::min<double>(due, kBatch));
  }
  // Whole batches only, so that the bench makes few system calls per datagram.
  return inFlight + kBatch > kFloodWindow ? 0 : static_cast<int>(kBatch);
}

}  // namespace

int openVoiceSocket(const char* address, bool nonBlocking) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0),
                          0);
  if (fd < 0) return -1;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
  const sockaddr_in local = loopbackAddress(address, 0);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

sockaddr_in loopbackAddress(const char* address, int port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_pton(AF_INET, address, &result.sin_addr);
  return result;
}

FloodResult VoiceFlood::flood(const VoiceEndpoints& endpoints, std::size_t senderCount,
                              double rate, double seconds, bool direct,
                              const std::function<void(bool)>& around) {
  const std::uint32_t tag = freshTag();
  std::vector<SendGroup> groups = sendGroups(endpoints, direct, tag);
  ArrivalCounter arrivals(endpoints, kForwardedKind, tag);
  senderCount = std::max<std::size_t>(1, std::min(senderCount, endpoints.senders.size()));
  FloodResult result;
  // Datagrams given up as lost: those in flight when nothing arrived for a while.
  std::uint64_t writtenOff = 0;
  std::size_t next = 0, group = 0;
  if (around) around(true);
  const Clock::time_point start = Clock::now();
  for (double elapsed = 0; elapsed < seconds; elapsed = secondsSince(start)) {
    const std::uint64_t inFlight = result.sent - arrivals.received() - writtenOff;
    const int wanted = sendable(rate, elapsed, result.sent, inFlight);
    if (wanted > 0) {
      const int sent = groups[group].send(endpoints.senders[next], wanted);
      result.sent += static_cast<std::uint64_t>(sent);
      next = (next + 1) % senderCount;
      group = (group + 1) % groups.size();
    }
    // Nothing to send: wait for arrivals (a full window) or for the next datagrams to fall due.
    const int waitMs = wanted > 0 ? 0 : (rate > 0 ? 1 : kStallMs);
    if (arrivals.collect(waitMs) == 0 && wanted == 0 && rate == 0) writtenOff += inFlight;
  }
  result.seconds = secondsSince(start);
  if (around) around(false);
  // The datagrams still on their way.
  const Clock::time_point settle = Clock::now();
  while (Clock::now() - settle < kSettle && arrivals.collect(kStallMs) > 0) {
  }
  result.received = arrivals.received();
  return result;
}

RoundTripResult VoiceFlood::roundTrips(const VoiceEndpoints& endpoints, int count,
                                       double gapSeconds) {
  const std::uint32_t tag = freshTag();
  VoiceDatagram payload{};
  std::memcpy(payload.data() + kTagOffset, &tag, sizeof tag);
  VoiceDatagram datagram = voiceDatagram(endpoints.receiverIds[0], payload);
  const int in = endpoints.receivers[0];
  RoundTripResult result;
  VoiceDatagram arrived{};
  for (std::uint64_t sequence = 1; sequence <= static_cast<std::uint64_t>(count); ++sequence) {
    std::memcpy(datagram.data() + kSequenceOffset, &sequence, sizeof sequence);
    const Clock::time_point sent = Clock::now();
    ::sendto(endpoints.senders[0], datagram.data(), datagram.size(), 0,
             reinterpret_cast<const sockaddr*>(&endpoints.subject), sizeof endpoints.subject);
    double taken = -1;
    while (taken < 0 && secondsSince(sent) * 1000 < kRoundTripPatienceMs) {
      pollfd readable{in, POLLIN, 0};
      if (::poll(&readable, 1, kRoundTripPatienceMs) <= 0) break;
      while (::recv(in, arrived.data(), arrived.size(), MSG_DONTWAIT) ==
             static_cast<ssize_t>(kVoiceDatagramSize)) {
        std::uint64_t seen = 0;
        std::memcpy(&seen, arrived.data() + kSequenceOffset, sizeof seen);
        if (arrived[0] == kForwardedKind && seen == sequence &&
            std::memcmp(arrived.data() + kTagOffset, &tag, sizeof tag) == 0) {
          taken = secondsSince(sent);
        }
      }
    }
    if (taken >= 0) {
      result.seconds.push_back(taken);
    } else {
      ++result.lost;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(gapSeconds));
  }
  return result;
}

}  // namespace quorvane
