#include "load/LoadRun.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <unordered_map>

namespace quorvane {

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::uint64_t operations(const LoadStats::Figures& f) {
  return f[LoadStats::Commands] + f[LoadStats::Datagrams];
}

}  // namespace

LoadRun::LoadRun(const LoadOptions& options) : options_(options) {
  const int threads = std::min(options.threads, options.clients);
  for (int t = 0; t < threads; ++t) {
    workers_.push_back(std::make_unique<LoadWorker>(peers_, stats_, options, t, threads));
  }
}

bool LoadRun::run() {
  for (const auto& worker : workers_) {
    if (!worker->valid()) {
      std::fprintf(stderr, "quorvane-load: cannot create an event loop\n");
      return false;
    }
  }
  std::printf("quorvane-load: %d clients on %zu threads against %s:%d (sound port %d), %.0f s, "
              "seed %llu\n",
              options_.clients, workers_.size(), options_.host.c_str(), options_.port,
              options_.soundPort, options_.seconds,
              static_cast<unsigned long long>(options_.seed));
  std::fflush(stdout);
  const Clock::time_point start = Clock::now();
  const auto length = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(options_.seconds));
  std::barrier<> rounds(static_cast<std::ptrdiff_t>(workers_.size()));
  for (const auto& worker : workers_) worker->start(start, start + length, rounds);

  LoadStats::Figures previous{};
  double previousTime = 0;
  const auto interval = std::chrono::duration<double>(std::max(0.1, options_.reportInterval));
  Clock::time_point nextReport = start + std::chrono::duration_cast<Clock::duration>(interval);
  while (!std::all_of(workers_.begin(), workers_.end(), [](auto& w) { return w->finished(); })) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (Clock::now() >= nextReport && Clock::now() < start + length) {
      reportProgress(since(start), previous, previousTime);
      nextReport += std::chrono::duration_cast<Clock::duration>(interval);
    }
  }
  for (const auto& worker : workers_) worker->join();
  checkLastMessages();
  return reportFinal(std::min(since(start), options_.seconds));
}

void LoadRun::reportProgress(double elapsed, LoadStats::Figures& previous,
                             double& previousTime) {
  const LoadStats::Figures now = stats_.snapshot();
  const double span = std::max(1e-3, elapsed - previousTime);
  std::printf("[%6.0f s] sessions %llu, ops/s %.0f, lines in/s %.0f, errors %llu, lost %llu, "
              "reordered %llu, unexpected disconnects %llu\n",
              elapsed,
              static_cast<unsigned long long>(now[LoadStats::Logins] -
                                              now[LoadStats::SessionsEnded]),
              static_cast<double>(operations(now) - operations(previous)) / span,
              static_cast<double>(now[LoadStats::LinesReceived] -
                                  previous[LoadStats::LinesReceived]) / span,
              static_cast<unsigned long long>(now[LoadStats::ProtocolErrors]),
              static_cast<unsigned long long>(now[LoadStats::LostLines]),
              static_cast<unsigned long long>(now[LoadStats::ReorderedLines]),
              static_cast<unsigned long long>(now[LoadStats::UnexpectedDisconnects]));
  std::fflush(stdout);
  previous = now;
  previousTime = elapsed;
}

void LoadRun::checkLastMessages() {
  std::unordered_map<std::uint32_t, const SoakClient*> sessions;
  for (const auto& worker : workers_) {
    for (const auto& client : worker->clients()) {
      if (client->completedRun()) sessions[client->sessionKey()] = client.get();
    }
  }
  for (const auto& [key, sender] : sessions) {
    for (const auto& [recipientKey, sent] : sender->sentToUsers()) {
      const auto recipient = sessions.find(recipientKey);
      if (recipient == sessions.end()) continue;
      const std::uint32_t received = recipient->second->lastReceivedFrom(key);
      if (received < sent) {
        stats_.problem(LoadStats::LostLines,
                       "session " + std::to_string(recipientKey) + " got messages up to " +
                           std::to_string(received) + " of the " + std::to_string(sent) +
                           " that session " + std::to_string(key) + " sent it",
                       sent - received);
      }
    }
  }
}

bool LoadRun::reportFinal(double seconds) {
  const LoadStats::Figures f = stats_.snapshot();
  auto n = [&](LoadStats::Counter c) { return static_cast<unsigned long long>(f[c]); };
  const double sent = static_cast<double>(f[LoadStats::VoiceSent]);
  const double arrived =
      static_cast<double>(f[LoadStats::VoiceReceived] + f[LoadStats::VoiceStale]);
  const double loss = sent > 0 ? 100.0 * std::max(0.0, sent - arrived) / sent : 0.0;
  std::printf("operations: %llu (commands %llu, datagrams %llu)\n",
              static_cast<unsigned long long>(operations(f)), n(LoadStats::Commands),
              n(LoadStats::Datagrams));
  std::printf("operations per second: %.1f\n", static_cast<double>(operations(f)) / seconds);
  std::printf("lines received: %llu\n", n(LoadStats::LinesReceived));
  std::printf("logins: %llu, abrupt disconnects: %llu, quits: %llu\n", n(LoadStats::Logins),
              n(LoadStats::AbruptDisconnects), n(LoadStats::Quits));
  std::printf("messages checked: %llu (stale: %llu)\n", n(LoadStats::MessagesChecked),
              n(LoadStats::StaleMessages));
  std::printf("voice datagrams: sent %llu, received %llu, stale %llu, UDP loss %.3f %%\n",
              n(LoadStats::VoiceSent), n(LoadStats::VoiceReceived), n(LoadStats::VoiceStale),
              loss);
  std::printf("protocol errors: %llu\n", n(LoadStats::ProtocolErrors));
  std::printf("lost lines: %llu\n", n(LoadStats::LostLines));
  std::printf("reordered lines: %llu\n", n(LoadStats::ReorderedLines));
  std::printf("unexpected disconnects: %llu\n", n(LoadStats::UnexpectedDisconnects));
  const bool passed = f[LoadStats::ProtocolErrors] == 0 && f[LoadStats::LostLines] == 0 &&
                      f[LoadStats::ReorderedLines] == 0 &&
                      f[LoadStats::UnexpectedDisconnects] == 0;
  std::printf("result: %s\n", passed ? "PASS" : "FAIL");
  std::fflush(stdout);
  return passed;
}

}  // namespace quorvane
