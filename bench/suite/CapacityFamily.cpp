#include "suite/CapacityFamily.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "client/ClientCommands.h"
#include "suite/LoginFamily.h"
#include "suite/Stats.h"

namespace quorvane {

namespace {

using Check = ResultTable::Check;
using Clock = ClientLoop::Clock;

constexpr std::size_t kConnectWindow = 1000;
constexpr std::size_t kLoggedIn = 1000;
constexpr int kChannels = 10;
// The most clients tried unless asked for more: where the descriptor limit is far higher than
// here, the run stays within its time (and the bench's local ports).
constexpr long kMostClients = 30000;
// Descriptors the bench keeps for itself beyond its clients.
constexpr long kBenchReserve = 16;
// Room the bench gives itself beyond the machine's limit, when it may.
constexpr long kBenchExtra = 4096;
// Every step of a run's preparation ends by then at the latest.
constexpr auto kSetupPatience = std::chrono::seconds(120);
constexpr auto kPingPatience = std::chrono::seconds(30);
constexpr auto kSettle = std::chrono::milliseconds(500);
// The memory figures: the resident size with every client, and its growth per client.
void recordMemory(long idleKiB, long heldKiB, std::size_t held, Figures& figures) {
  figures["cap.rss"] = static_cast<double>(heldKiB);
  if (held == 0) return;
  figures["cap.perClient"] = static_cast<double>(heldKiB - idleKiB) / static_cast<double>(held);
}

}  // namespace

long raiseBenchDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  long ceiling = 0;
  std::ifstream("/proc/sys/fs/nr_open") >> ceiling;
  rlimit raised = limit;
  raised.rlim_max = std::max<rlim_t>(limit.rlim_max,
                                     std::min<rlim_t>(limit.rlim_max + kBenchExtra, ceiling));
  raised.rlim_cur = raised.rlim_max;
  // Raising the hard limit needs privilege; without it, the soft limit still goes up to it.
  if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) {
    raised = limit;
    raised.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &raised);
  }
  ::getrlimit(RLIMIT_NOFILE, &limit);
  return static_cast<long>(limit.rlim_cur);
}

CapacityFamily::CapacityFamily(const BenchOptions& options) : Family(options) {
  tables_.emplace_back("(7) Capacity: connected, voice-confirmed, pinging clients up to the "
                       "descriptor limit, 1000 of them logged in across 10 channels "
                       "(line baseline: plain connections)",
                       "line baseline");
  ResultTable& table = tables_.back();
  const double held = options.quick ? static_cast<double>(options.capacityClients) : 19900;
  table.add({"cap.tried", "clients tried", "", 1, 0});
  table.add({"cap.held", "clients held", "", 1, 0, Check::AtLeast, held});
  table.add({"cap.perClient", "memory per client (RSS growth / clients)", "KiB", 1, 2,
             Check::AtMost, 2});
  table.add({"cap.allPing", "all ping at once: time until every one has its pong", "ms", 1e3,
             0, Check::AtMost, 1000});
  table.add({"cap.setup", "time to connect and prepare every client", "s", 1, 1});
  table.add({"cap.rss", "resident memory with every client", "MiB", 1.0 / 1024, 1});
}

void CapacityFamily::prepare() { benchRoom_ = raiseBenchDescriptorLimit() - kBenchReserve; }

std::size_t CapacityFamily::attempts(const Subject& subject) {
  const long own = benchRoom_;
  long wanted = options_.capacityClients;
  if (wanted == 0 && subject.isServer()) wanted = std::min(subject.roomForClients(), kMostClients);
  if (wanted == 0) wanted = static_cast<long>(lastAttempts_);
  if (wanted == 0) wanted = own;
  const auto count = static_cast<std::size_t>(std::max(0L, std::min(wanted, own)));
  if (subject.isServer()) lastAttempts_ = count;
  return count;
}

bool CapacityFamily::run(Subject& subject, Figures& figures, std::string& error) {
  std::this_thread::sleep_for(kSettle);
  const long idleKiB = subject.rssKiB();
  const std::size_t count = attempts(subject);
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + kSetupPatience;
  ClientLoop loop;
  ProtocolClient::Options options;
  options.hostPort = subject.hostPort();
  options.ownVoiceSocket = false;
  ClientPool pool(loop, options);
  SharedVoice voice;
  // For the server: greeted, voice path confirmed, and answering "ping".
  std::size_t ready = count;
  if (subject.isServer()) {
    ready = prepareLogins(subject, loop, pool, voice, count, deadline, error);
    const std::size_t logins = std::min(kLoggedIn, ready);
    if (!logIn(loop, pool, logins, deadline, error)) return false;
  } else {
    pool.connect(count, kConnectWindow, deadline);
  }
  double ignored = 0;
  const std::size_t held = std::min(ready, pingAll(loop, pool, deadline, ignored));
  figures["cap.setup"] = secondsSince(start);
  loop.runUntil(Clock::now() + kSettle);
  recordMemory(idleKiB, subject.rssKiB(), held, figures);
  figures["cap.tried"] = static_cast<double>(count);
  figures["cap.held"] = static_cast<double>(held);
  double latest = 0;
  const std::size_t answered = pingAll(loop, pool, Clock::now() + kPingPatience, latest);
  if (answered < held) {
    error = std::to_string(held - answered) + " clients got no pong within the patience";
    return false;
  }
  figures["cap.allPing"] = latest;
  return true;
}

bool CapacityFamily::logIn(ClientLoop& loop, ClientPool& pool, std::size_t count,
                           Clock::time_point deadline, std::string& error) {
  std::size_t joined = 0;
  pool.onLine([&](std::size_t, const ServerLine& line) {
    if (line.is("joined")) ++joined;
  });
  std::size_t asked = 0;
  for (std::size_t i = 0; i < pool.size() && asked < count; ++i) {
    if (!pool.open(i)) continue;
    LoginDetails details;
    details.nick = "c" + std::to_string(i);
    // Straight on into its channel, so the root channel never gathers them all.
    pool.client(i).sendLine(connectLine(details));
    pool.client(i).sendLine(joinLine("/c" + std::to_string(asked % kChannels) + "/", "", ""));
    ++asked;
  }
  loop.runUntil([&] { return joined == asked; }, deadline);
  pool.onLine({});
  if (joined < asked) {
    error = "only " + std::to_string(joined) + " of " + std::to_string(asked) +
            " clients logged in and joined their channel";
    return false;
  }
  return true;
}

}  // namespace quorvane
