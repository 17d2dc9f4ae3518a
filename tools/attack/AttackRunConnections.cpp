// The attacks on connections: holding the server's places against other addresses, filling its
// memory and the kernel's through clients that never read, and guessing the password.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>

#include "attack/Audience.h"
#include "attack/AttackRun.h"
#include "attack/ServerProbe.h"
#include "client/ClientCommands.h"
#include "suite/Stats.h"

namespace quorvane {

namespace {

using Clock = ClientLoop::Clock;
using std::chrono::milliseconds;

// A login from the second address fails when it has not come through by then.
constexpr auto kProbePatience = std::chrono::seconds(10);
// The hammer opens this many connections at a time, and ends within this time at the latest.
constexpr std::size_t kHammerWindow = 256;
constexpr auto kHammerPatience = std::chrono::seconds(60);
constexpr auto kCheckInterval = milliseconds(1);
constexpr auto kSampleInterval = milliseconds(250);
constexpr double kMemoryTarget = 300e6;
// The passwords of 6 lower-case letters: 26^6.
constexpr double kSixLetters = 308915776;
// Wrong passwords a guessing connection keeps on their way.
constexpr int kGuessesInFlight = 8;

// One login from the second address: opened, logged in (then it quits) or failed.
struct LoginProbe final : ProtocolClient::Handler {
  LoginProbe(ClientLoop& loop, const ProtocolClient::Options& options) : loop(loop) {
    client.setHandler(this);
    opened = Clock::now();
    if (client.open(options)) {
      loop.attach(client);
      deadline = loop.scheduleAfter(kProbePatience, [this] { finish(false); });
    } else {
      done = true;
    }
  }
  ~LoginProbe() {
    loop.cancel(deadline);
    loop.detach(client);
  }
  void finish(bool success) {
    if (done) return;
    done = true;
    ok = success;
    seconds = std::chrono::duration<double>(Clock::now() - opened).count();
    loop.cancel(deadline);
    client.quit();
  }
  void onLine(ProtocolClient& c, const ServerLine&) override {
    if (c.loginError() != 0) finish(false);
  }
  void onDatagram(ProtocolClient&, std::span<const std::uint8_t>) override {}
  void onLoggedIn(ProtocolClient&) override { finish(true); }
  void onClosed(ProtocolClient&, const std::string&) override { finish(false); }
  void onBadLineEnd(ProtocolClient&, std::string_view) override {}

  ClientLoop& loop;
  ProtocolClient client;
  Clock::time_point opened;
  ClientLoop::TimerId deadline{};
  bool done = false;
  bool ok = false;
  double seconds = 0;
};

double megabytes(std::uint64_t bytes) { return static_cast<double>(bytes) / 1e6; }

}  // namespace

void AttackRun::hammer() {
  std::printf("(3) Logins from a second address while one address makes %zu connection "
              "attempts\n", options_.hammerAttempts);
  if (!freshServer("(3)")) return;
  ClientLoop watch;
  ClientLoop attack;
  AttackPool::Options hammering = attacker(6);
  hammering.logIn = false;
  hammering.connections = options_.hammerAttempts;
  hammering.pending = kHammerWindow;
  hammering.attempts = options_.hammerAttempts;
  auto pool = std::make_unique<AttackPool>(attack, hammering, AttackPool::Script{});
  // The attack thread says when every attempt is made.
  std::atomic<bool> used{false};
  std::atomic<std::int64_t> usedAt{0};
  std::function<void()> check = [&] {
    if (!pool->attemptsUsed()) {
      attack.scheduleAfter(kCheckInterval, check);
      return;
    }
    usedAt = Clock::now().time_since_epoch().count();
    used = true;
  };
  attack.scheduleAfter(kCheckInterval, check);

  std::vector<std::unique_ptr<LoginProbe>> probes;
  ProtocolClient::Options second = honest();
  second.connectionAddress = "127.0.0.7";
  const std::uint64_t logBefore = logBytes();
  const Clock::time_point start = Clock::now();
  for (std::size_t k = 0; k < options_.logins; ++k) {
    watch.schedule(start + seconds(options_.loginGapSeconds * static_cast<double>(k)), [&, k] {
      second.login.nick = "second" + std::to_string(k);
      probes.push_back(std::make_unique<LoginProbe>(watch, second));
    });
  }
  auto allDone = [&] {
    return probes.size() == options_.logins &&
           std::all_of(probes.begin(), probes.end(), [](auto& p) { return p->done; });
  };
  pool->start();
  race(attack, watch, start + kHammerPatience, [&] { return used && allDone(); });
  const double length = secondsSince(start);
  const AttackPool::Counts counts = pool->counts();
  pool.reset();
  std::vector<double> times;
  std::size_t succeeded = 0;
  for (const auto& probe : probes) {
    if (!probe->ok) continue;
    ++succeeded;
    times.push_back(probe->seconds * 1e3);
  }
  std::printf("  logins from 127.0.0.7, one every %.0f ms from the start: %zu of %zu succeeded",
              options_.loginGapSeconds * 1e3, succeeded, options_.logins);
  if (!times.empty()) {
    std::printf(", time to log in median %.1f ms, max %.1f ms", percentile(times, 0.5),
                percentile(times, 1.0));
  }
  std::printf("\n  hammering address 127.0.0.6: %zu attempts", counts.attempts);
  if (used) {
    std::printf(" in %.1f s",
                std::chrono::duration<double>(Clock::duration(usedAt.load()) -
                                              start.time_since_epoch()).count());
  }
  std::printf(" (%zu at a time); %zu greeted, %zu closed at once without \"welcome\", at most "
              "%zu held at once, %zu closed later\n",
              kHammerWindow, counts.greeted, counts.refused, counts.mostHeld, counts.dropped);
  logGrowth("(3) connection attempts", logBefore, length);
  if (!used) failed("the hammer did not make its attempts in time");
  judge(succeeded == options_.logins, "every login from the second address succeeds");
}

void AttackRun::memory() {
  std::printf("(4) Memory with %zu clients that never read (each on an address of its own, in "
              "the root channel),\n    flooded for %.0f s with 1.9 kB channel messages from one "
              "address\n", options_.nonReaders, options_.memorySeconds);
  if (!freshServer("(4)")) return;
  ClientLoop watch;
  Audience sinks(watch, honest());
  // A client that reads everything in the same channel hears whom the server drops; the clients
  // that never read would never learn it.
  Audience witness(watch, honest());
  std::vector<std::string> addresses;
  for (std::size_t n = 1; n <= options_.nonReaders; ++n) addresses.push_back(loopbackAddress(2, n));
  if (sinks.logIn(addresses, Clock::now() + kLoginPatience) < addresses.size() ||
      witness.logIn({loopbackAddress(3, 3)}, Clock::now() + kLoginPatience) != 1) {
    failed("not every client that never reads, or their witness, logged in");
    return;
  }
  sinks.settle(kQuiet, Clock::now() + kSettlePatience);
  sinks.stopReading();
  struct Sample {
    std::uint64_t resident = 0, sendQueue = 0;
    std::uint64_t total() const { return resident + sendQueue; }
  };
  auto sample = [&] {
    return Sample{serverPid_ > 0 ? probe::residentBytes(serverPid_) : 0,
                  probe::sendQueueBytes(hostPort_)};
  };
  const Sample before = sample();
  const std::uint64_t tcpBefore = probe::hostTcpBytes();
  Sample peak = before;
  std::uint64_t tcpPeak = tcpBefore;
  std::function<void()> measure = [&] {
    const Sample now = sample();
    if (now.total() > peak.total()) peak = now;
    tcpPeak = std::max(tcpPeak, probe::hostTcpBytes());
    watch.scheduleAfter(kSampleInterval, measure);
  };
  watch.scheduleAfter(kSampleInterval, measure);
  const std::string text(kMessageText, 'm');
  ClientLoop attack;
  AttackPool::Script script;
  const std::vector<std::string> batch(8, messageToChannelLine("/", text));
  script.send = [batch](std::size_t, ProtocolClient& client) {
    if (client.loggedIn()) client.sendLines(batch);
  };
  auto pool = std::make_unique<AttackPool>(attack, attacker(8), script);
  const std::uint64_t logBefore = logBytes();
  const Clock::time_point start = Clock::now();
  pool->start();
  race(attack, watch, start + seconds(options_.memorySeconds));
  measure();
  std::size_t dropped = 0;
  for (std::size_t i = 0; i < sinks.size(); ++i) {
    dropped += witness.member(0).removed.count(sinks.client(i).userId());
  }
  const AttackPool::Counts counts = pool->counts();
  pool.reset();
  const double length = secondsSince(start);
  if (serverPid_ <= 0) {
    std::printf("  server memory: not known (no --server-pid); its Send-Q at the peak %.1f MB\n",
                megabytes(peak.sendQueue));
  } else {
    std::printf("  server: resident memory + Send-Q of its connections at the peak %.1f MB "
                "(resident %.1f MB, Send-Q %.1f MB);\n  before the flood %.1f MB (resident "
                "%.1f MB, Send-Q %.1f MB)\n",
                megabytes(peak.total()), megabytes(peak.resident), megabytes(peak.sendQueue),
                megabytes(before.total()), megabytes(before.resident),
                megabytes(before.sendQueue));
  }
  std::printf("  host: the kernel's TCP memory at the peak %.1f MB (%.1f MB before the flood)\n",
              megabytes(tcpPeak), megabytes(tcpBefore));
  std::printf("  clients that never read dropped by the server: %zu of %zu; attacker: %zu "
              "logins, %llu lines written\n",
              dropped, sinks.size(), counts.loggedIn,
              static_cast<unsigned long long>(counts.linesSent));
  logGrowth("(4) messages to clients that never read", logBefore, length);
  if (serverPid_ <= 0) {
    std::printf("\n");
    return;
  }
  judge(peak.total() < kMemoryTarget, "resident memory + Send-Q under 300 MB");
}

void AttackRun::guessing() {
  std::printf("(5) Password guessing from one address for %.0f s (%d wrong passwords on their "
              "way on each connection)\n", options_.guessSeconds, kGuessesInFlight);
  if (!freshServer("(5)")) return;
  ClientLoop attack;
  ClientLoop watch;
  AttackPool::Options guesser = attacker(9);
  guesser.password = "not " + options_.password;
  // Per connection: whether its guesses are on their way; in all: the wrong answers.
  std::vector<char> guessing(guesser.connections, 0);
  std::uint64_t wrong = 0, guesses = 0;
  Clock::time_point lastWrong{};
  auto guess = [&](ProtocolClient& client) {
    LoginDetails details;
    details.nick = "guesser";
    details.password = "guess" + std::to_string(++guesses);
    client.sendLine(connectLine(details));
  };
  AttackPool::Script script;
  // The handshake sends the first "connect"; the rest go after it at once.
  script.send = [&](std::size_t index, ProtocolClient& client) {
    if (guessing[index] || client.state() != ProtocolClient::State::AwaitingAccepted) return;
    guessing[index] = 1;
    for (int k = 1; k < kGuessesInFlight; ++k) guess(client);
  };
  script.line = [&](std::size_t index, ProtocolClient& client, const ServerLine& line) {
    if (line.is("welcome")) guessing[index] = 0;
    if (!line.is("error") || line.intParam("number", 0) != 300) return;
    ++wrong;
    lastWrong = Clock::now();
    guess(client);
  };
  auto pool = std::make_unique<AttackPool>(attack, guesser, script);
  const std::uint64_t logBefore = logBytes();
  const Clock::time_point start = Clock::now();
  pool->start();
  race(attack, watch, start + seconds(options_.guessSeconds));
  const double length = secondsSince(start);
  const AttackPool::Counts counts = pool->counts();
  pool.reset();
  std::printf("  wrong passwords answered: %llu in %.1f s, %.1f a second",
              static_cast<unsigned long long>(wrong), length,
              static_cast<double>(wrong) / length);
  if (wrong != 0) {
    std::printf(" (the last after %.1f s)",
                std::chrono::duration<double>(lastWrong - start).count());
  }
  if (wrong != 0) {
    // Every password of 6 lower-case letters, tried at this rate.
    const double days = kSixLetters / (static_cast<double>(wrong) / length) / 86400;
    std::printf("\n  every 6-letter lower-case password tried at this rate: %.3g days (%.3g years)",
                days, days / 365.25);
  }
  std::printf("\n  connections: %zu opened, %zu greeted, %zu closed at once without "
              "\"welcome\", %zu closed after it\n\n",
              counts.attempts, counts.greeted, counts.refused, counts.dropped);
  logGrowth("(5) password guessing", logBefore, length);
}

}  // namespace quorvane
