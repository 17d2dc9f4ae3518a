// The datagram traffic of the voice scenarios on raw sockets, on the calling thread: senders push
// tagged datagrams at the subject (or, to measure the bench alone, straight at the receivers),
// and what arrives at the receivers is counted with recvmmsg.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace quorvane {

// Datagrams sent and not yet received, at most, when sending as fast as the subject forwards:
// enough to keep the subject's queue full, few enough for its default receive buffer (256 such
// datagrams), so that the bench spends nothing on datagrams that would be dropped.
inline constexpr std::uint64_t kFloodWindow = 224;

struct VoiceEndpoints {
  // Unconnected UDP sockets the datagrams leave from.
  std::vector<int> senders;
  // Non-blocking UDP sockets the datagrams arrive at, and the user id each stands for (1..255).
  std::vector<int> receivers;
  std::vector<int> receiverIds;
  // Where the senders send: the subject's sound port.
  sockaddr_in subject{};
};

struct FloodResult {
  std::uint64_t sent = 0;
  std::uint64_t received = 0;
  // How long the senders sent.
  double seconds = 0;
};

struct RoundTripResult {
  std::vector<double> seconds;  // one per answered datagram
  int lost = 0;
};

class VoiceFlood {
 public:
  // Sends from the first `senderCount` senders for `seconds`, `rate` datagrams per second in all
  // (0: as fast as the subject forwards, kFloodWindow in flight), spread over the receivers;
  // `direct` sends kind 4 straight to the receivers instead of kind 5 to the subject.
  // `around(true)` runs as the senders start and `around(false)` as they stop, to read the
  // subject's CPU time.
  static FloodResult flood(const VoiceEndpoints& endpoints, std::size_t senderCount, double rate,
                           double seconds, bool direct,
                           const std::function<void(bool)>& around = {});

  // `count` round trips from the first sender through the subject to the first receiver, one at
  // a time with `gapSeconds` of quiet between them.
  static RoundTripResult roundTrips(const VoiceEndpoints& endpoints, int count,
                                    double gapSeconds);
};

// A UDP socket bound to `address` port 0 with a large receive buffer; -1 on failure.
int openVoiceSocket(const char* address, bool nonBlocking);
sockaddr_in loopbackAddress(const char* address, int port);

}  // namespace quorvane
