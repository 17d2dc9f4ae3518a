#include "suite/VoiceFamily.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>

#include "client/ClientCommands.h"
#include "client/VoiceDatagrams.h"
#include "suite/Stats.h"
#include "suite/VoiceUsers.h"

namespace quorvane {

namespace {

using Check = ResultTable::Check;

constexpr std::size_t kReceivers = 4;
constexpr std::size_t kSenders = 4;

std::string format(const char* pattern, double a, double b = 0, double c = 0, double d = 0) {
  char text[256];
  std::snprintf(text, sizeof text, pattern, a, b, c, d);
  return text;
}

void closeAll(const std::vector<int>& sockets) {
  for (const int fd : sockets) ::close(fd);
}

}  // namespace

VoiceFamily::VoiceFamily(const BenchOptions& options) : Family(options) {
  tables_.emplace_back("(1) Voice forwarding at full rate: as fast as the subject forwards (" +
                           std::to_string(kFloodWindow) + " datagrams in flight), 4 receivers",
                       "relay baseline");
  tables_.back().add({"full1.rate", "delivered per second, 1 sender", "k/s", 1e-3, 1,
                      Check::RatioAtLeast, 0.9});
  tables_.back().add({"full1.loss", "loss, 1 sender", "%", 100, 1});
  tables_.back().add({"full4.rate", "delivered per second, 4 senders", "k/s", 1e-3, 1,
                      Check::RatioAtLeast, 0.9});
  tables_.back().add({"full4.loss", "loss, 4 senders", "%", 100, 1});
  tables_.back().add({"full4.cpu", "CPU per delivered datagram, 4 senders", "us", 1e6, 2});
  const std::string rate = format("%.0f", options.fixedRate);
  tables_.emplace_back("(2) Voice forwarding at a fixed " + rate +
                           " datagrams per second: 4 senders, 4 receivers",
                       "relay baseline");
  tables_.back().add({"fixed.cpu", "subject CPU per datagram", "us", 1e6, 2,
                      Check::RatioAtMost, 1.2});
  tables_.back().add({"fixed.loss", "loss", "%", 100, 2, Check::AtMost, 1});
  tables_.back().add({"fixed.rate", "sent per second", "k/s", 1e-3, 1});
  tables_.emplace_back("(3) One voice round trip at a time, idle: sender -> subject -> receiver",
                       "relay baseline");
  tables_.back().add({"idle.p50", "round trip p50", "us", 1e6, 0});
  tables_.back().add({"idle.p99", "round trip p99", "us", 1e6, 0, Check::RatioAtMost, 1.5});
  tables_.back().add({"idle.lost", "unanswered (of each run's round trips)", "", 1, 0});
}

void VoiceFamily::prepare() {
  VoiceEndpoints alone;
  for (std::size_t r = 0; r < kReceivers; ++r) {
    alone.receivers.push_back(openVoiceSocket(voiceAddress(r).c_str(), true));
    alone.receiverIds.push_back(static_cast<int>(r + 1));
  }
  for (std::size_t s = 0; s < kSenders; ++s) {
    alone.senders.push_back(openVoiceSocket(voiceAddress(kReceivers + s).c_str(), false));
  }
  for (const std::size_t senders : {std::size_t{1}, kSenders}) {
    const FloodResult result =
        VoiceFlood::flood(alone, senders, 0, options_.fullRateSeconds, true);
    tables_.front().note(format(
        "bench alone (its senders straight to its receivers), %.0f sender(s): %.1f k/s sent, "
        "%.1f k/s received",
        static_cast<double>(senders), static_cast<double>(result.sent) / result.seconds / 1e3,
        static_cast<double>(result.received) / result.seconds / 1e3));
  }
  closeAll(alone.receivers);
  closeAll(alone.senders);
}

bool VoiceFamily::makeEndpoints(Subject& subject, VoiceEndpoints& endpoints,
                                std::vector<std::unique_ptr<ProtocolClient>>& users,
                                std::string& error) {
  for (std::size_t k = 0; k < kReceivers + kSenders; ++k) {
    const bool receiver = k < kReceivers;
    const std::string address = voiceAddress(k);
    const int fd = openVoiceSocket(address.c_str(), receiver);
    if (fd < 0) {
      error = "cannot open a voice socket at " + address;
      return false;
    }
    (receiver ? endpoints.receivers : endpoints.senders).push_back(fd);
    int id = static_cast<int>(k + 1);
    if (subject.isServer()) {
      users.push_back(std::make_unique<ProtocolClient>());
      if (!logInFrom(subject, address, fd, *users.back(), error)) return false;
      id = users.back()->userId();
    } else if (!confirmHello(fd, id, endpoints.subject)) {
      error = "the relay did not answer the hello of " + std::to_string(id);
      return false;
    }
    if (!receiver) continue;
    if (id > 255) {
      error = "receiver " + std::to_string(id) + " cannot receive forwarded voice (above 255)";
      return false;
    }
    // Only what the subject sends arrives at a receiver.
    ::connect(fd, reinterpret_cast<const sockaddr*>(&endpoints.subject), sizeof endpoints.subject);
    endpoints.receiverIds.push_back(id);
  }
  return true;
}

bool VoiceFamily::run(Subject& subject, Figures& figures, std::string& error) {
  VoiceEndpoints endpoints;
  endpoints.subject = loopbackAddress("127.0.0.1", subject.soundPort());
  std::vector<std::unique_ptr<ProtocolClient>> users;
  const bool ready = makeEndpoints(subject, endpoints, users, error);
  if (ready) {
    const RoundTripResult idle = VoiceFlood::roundTrips(endpoints, options_.idleRoundTrips,
                                                        options_.idleGapSeconds);
    figures["idle.p50"] = percentile(idle.seconds, 0.50);
    figures["idle.p99"] = percentile(idle.seconds, 0.99);
    figures["idle.lost"] = idle.lost;
    measureFullRate(subject, endpoints, 1, figures);
    measureFullRate(subject, endpoints, kSenders, figures);
    measureFixedRate(subject, endpoints, figures);
  }
  closeAll(endpoints.senders);
  closeAll(endpoints.receivers);
  for (const auto& user : users) user->close(true);
  return ready;
}

void VoiceFamily::measureFullRate(Subject& subject, VoiceEndpoints& endpoints,
                                  std::size_t senders, Figures& figures) {
  double cpu = 0;
  const FloodResult result =
      VoiceFlood::flood(endpoints, senders, 0, options_.fullRateSeconds, false,
                        [&](bool starting) {
                          cpu = starting ? subject.cpuSeconds() : subject.cpuSeconds() - cpu;
                        });
  const std::string prefix = senders == 1 ? "full1." : "full4.";
  const double received = static_cast<double>(result.received);
  figures[prefix + "rate"] = received / result.seconds;
  figures[prefix + "loss"] = result.sent == 0 ? 0 : 1 - received / static_cast<double>(result.sent);
  if (result.received > 0) figures[prefix + "cpu"] = cpu / received;
  // Whatever the subject still holds is forwarded before the next measurement starts.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

void VoiceFamily::measureFixedRate(Subject& subject, VoiceEndpoints& endpoints,
                                   Figures& figures) {
  double cpu = 0;
  const FloodResult result =
      VoiceFlood::flood(endpoints, kSenders, options_.fixedRate, options_.fixedRateSeconds,
                        false, [&](bool starting) {
                          cpu = starting ? subject.cpuSeconds() : subject.cpuSeconds() - cpu;
                        });
  const double sent = static_cast<double>(result.sent);
  if (sent == 0) return;
  figures["fixed.cpu"] = cpu / sent;
  figures["fixed.loss"] = 1 - static_cast<double>(result.received) / sent;
  figures["fixed.rate"] = sent / result.seconds;
}

}  // namespace quorvane
