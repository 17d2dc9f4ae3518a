// The floods of lines: what one address makes every listener receive, and whether it can push
// a slow reader off the server with private messages.
#include <algorithm>
#include <cstdio>
#include <memory>

#include "attack/Audience.h"
#include "attack/AttackRun.h"
#include "client/ClientCommands.h"
#include "suite/Stats.h"

namespace quorvane {

namespace {

using Clock = ClientLoop::Clock;

// A channel topic that a join creates, within the default 512-byte limit.
constexpr std::size_t kTopicText = 500;
// About this much is handed to a connection at once.
constexpr std::size_t kBatchBytes = 16384;
// "Lines a second per listener" the amplification target allows.
constexpr double kListenerTarget = 10;
// "About": the judged figure may be this much over.
constexpr double kAbout = 1.2;

// A script in which every logged-in connection sends the lines `next` makes, as fast as the
// server takes them; `next` gets the connection's index and its count of lines so far.
AttackPool::Script floodScript(std::function<std::string(std::size_t, std::uint64_t)> next,
                               std::size_t lineBytes) {
  auto sent = std::make_shared<std::vector<std::uint64_t>>();
  const std::size_t batch = std::max<std::size_t>(1, kBatchBytes / lineBytes);
  AttackPool::Script script;
  script.send = [=](std::size_t index, ProtocolClient& client) {
    if (!client.loggedIn()) return;
    if (sent->size() <= index) sent->resize(index + 1, 0);
    std::vector<std::string> lines;
    for (std::size_t k = 0; k < batch; ++k) lines.push_back(next(index, (*sent)[index]++));
    client.sendLines(lines);
  };
  return script;
}

// Per listener, the lines received between two snapshots, a second.
std::vector<double> ratesBetween(const std::vector<std::uint64_t>& from,
                                 const std::vector<std::uint64_t>& to, double seconds) {
  std::vector<double> rates;
  for (std::size_t i = 0; i < from.size(); ++i) {
    rates.push_back(static_cast<double>(to[i] - from[i]) / seconds);
  }
  return rates;
}

double largest(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

}  // namespace

void AttackRun::amplification() {
  std::printf("(1) Lines a second each of %zu listening clients (in the root channel, each on an "
              "address of its own,\n    reading everything) receives while one address floods "
              "for %.0f s\n",
              options_.listeners, options_.floodSeconds);
  std::printf("  %-38s %8s %10s %15s %15s %9s %9s %s\n", "flood", "attacker", "lines",
              "lines/s: all", "last half", "kB/s", "dropped", "target");
  std::printf("  %-38s %8s %10s %15s %15s %9s %9s\n", "", "logins", "written", "median / max",
              "median / max", "median", "listeners");
  const std::string text(kMessageText, 'x');
  const std::string topic(kTopicText, 't');
  const Flood floods[] = {
      {"\"changenick\"",
       floodScript([](std::size_t i, std::uint64_t n) {
         return changeNickLine("a" + std::to_string(i) + "-" + std::to_string(n));
       }, 30)},
      {"1.9 kB messages to the root channel",
       floodScript([text](std::size_t, std::uint64_t) { return messageToChannelLine("/", text); },
                   kMessageText + 40)},
      {"joins that create and remove channels",
       floodScript([topic](std::size_t i, std::uint64_t n) {
         return joinLine("/a" + std::to_string(i) + (n % 2 == 0 ? "x/" : "y/"), "", topic);
       }, kTopicText + 40)},
  };
  for (std::size_t k = 0; k < std::size(floods); ++k) {
    floodListeners(floods[k], static_cast<int>(2 + k));
  }
  std::printf("  target (last column): at most about %.0f lines a second per listener once the "
              "address's burst is spent\n  (the median of the last half, judged <= %.0f)\n\n",
              kListenerTarget, kListenerTarget * kAbout);
}

void AttackRun::floodListeners(const Flood& flood, int attackerAddress) {
  if (!freshServer(std::string("(1) ") + flood.label)) return;
  ClientLoop watch;
  Audience listeners(watch, honest());
  std::vector<std::string> addresses;
  for (std::size_t n = 1; n <= options_.listeners; ++n) addresses.push_back(loopbackAddress(1, n));
  const std::size_t in = listeners.logIn(addresses, Clock::now() + kLoginPatience);
  if (in < addresses.size()) {
    failed(std::string(flood.label) + ": only " + std::to_string(in) + " of " +
           std::to_string(addresses.size()) + " listeners logged in");
    return;
  }
  listeners.settle(kQuiet, Clock::now() + kSettlePatience);
  auto snapshot = [&](bool bytes) {
    std::vector<std::uint64_t> counts;
    for (std::size_t i = 0; i < listeners.size(); ++i) {
      counts.push_back(bytes ? listeners.member(i).bytes : listeners.member(i).lines);
    }
    return counts;
  };
  const std::uint64_t logBefore = logBytes();
  ClientLoop attack;
  auto pool = std::make_unique<AttackPool>(attack, attacker(attackerAddress), flood.script);
  const std::vector<std::uint64_t> linesAtStart = snapshot(false), bytesAtStart = snapshot(true);
  std::vector<std::uint64_t> linesAtHalf;
  const Clock::time_point start = Clock::now();
  const Clock::time_point end = start + seconds(options_.floodSeconds);
  watch.schedule(start + seconds(options_.floodSeconds / 2),
                 [&] { linesAtHalf = snapshot(false); });
  pool->start();
  race(attack, watch, end);
  const std::vector<std::uint64_t> linesAtEnd = snapshot(false), bytesAtEnd = snapshot(true);
  const std::size_t dropped = listeners.droppedCount();
  const AttackPool::Counts counts = pool->counts();
  pool.reset();
  if (linesAtHalf.empty()) linesAtHalf = linesAtStart;

  const double length = options_.floodSeconds;
  const std::vector<double> all = ratesBetween(linesAtStart, linesAtEnd, length);
  const std::vector<double> half = ratesBetween(linesAtHalf, linesAtEnd, length / 2);
  const std::vector<double> kilobytes = ratesBetween(bytesAtStart, bytesAtEnd, length * 1e3);
  const double steady = percentile(half, 0.5);
  const bool met = steady <= kListenerTarget * kAbout;
  count(met);
  logGrowth(std::string("(1) ") + flood.label, logBefore, options_.floodSeconds);
  std::printf("  %-38s %8zu %10llu %7.1f / %-7.1f %7.1f / %-7.1f %9.1f %5zu/%-4zu %s\n",
              flood.label, counts.loggedIn, static_cast<unsigned long long>(counts.linesSent),
              percentile(all, 0.5), largest(all), steady, largest(half),
              percentile(kilobytes, 0.5), dropped, listeners.size(), met ? "PASS" : "MISS");
  std::fflush(stdout);
}

void AttackRun::victim() {
  std::printf("(2) A victim reading at %.0f kB/s, flooded for %.0f s with 1.9 kB private "
              "messages from one address\n",
              options_.victimBytesPerSecond / 1e3, options_.victimSeconds);
  if (!freshServer("(2)")) return;
  ClientLoop watch;
  Audience victims(watch, honest());
  victims.mark("messagedeliver");
  // A client in the victim's channel that reads everything learns at once when the server drops
  // the victim; the victim itself only once it has read what was sent before.
  Audience witness(watch, honest());
  if (victims.logIn({loopbackAddress(3, 1)}, Clock::now() + kLoginPatience,
                    options_.victimBytesPerSecond) != 1 ||
      witness.logIn({loopbackAddress(3, 2)}, Clock::now() + kLoginPatience) != 1) {
    failed("the victim or its witness could not log in");
    return;
  }
  victims.settle(kQuiet, Clock::now() + kSettlePatience);
  const Audience::Member& victim = victims.member(0);
  const int victimId = victims.client(0).userId();
  auto dropped = [&] { return victim.dropped || witness.member(0).removed.count(victimId) != 0; };
  const std::string text(kMessageText, 'p');
  const std::uint64_t logBefore = logBytes();
  const std::uint64_t bytesBefore = victim.bytes;
  ClientLoop attack;
  auto pool = std::make_unique<AttackPool>(
      attack, attacker(5),
      floodScript([victimId, text](std::size_t, std::uint64_t) {
        return messageToUserLine(victimId, text);
      }, kMessageText + 40));
  const Clock::time_point start = Clock::now();
  pool->start();
  race(attack, watch, start + seconds(options_.victimSeconds), dropped);
  const double length = secondsSince(start);
  const AttackPool::Counts counts = pool->counts();
  pool.reset();
  const bool stayed = !dropped();
  if (stayed) {
    std::printf("  victim: stayed connected for the %.1f s", length);
  } else {
    const auto gone = witness.member(0).removed.find(victimId);
    const Clock::time_point at =
        gone != witness.member(0).removed.end() ? gone->second : victim.droppedAt;
    std::printf("  victim: dropped by the server after %.2f s",
                std::chrono::duration<double>(at - start).count());
  }
  std::printf("; it had read %llu private messages (%.1f a second), %.1f kB/s in all\n",
              static_cast<unsigned long long>(victim.marked),
              static_cast<double>(victim.marked) / length,
              static_cast<double>(victim.bytes - bytesBefore) / 1e3 / length);
  std::printf("  attacker: %zu logins, %llu lines written\n", counts.loggedIn,
              static_cast<unsigned long long>(counts.linesSent));
  logGrowth("(2) private messages to a slow reader", logBefore, length);
  judge(stayed, "the victim stays connected");
}

}  // namespace quorvane
