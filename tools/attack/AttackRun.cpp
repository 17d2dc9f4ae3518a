#include "attack/AttackRun.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <thread>

#include "attack/ServerProbe.h"
#include "suite/Stats.h"

namespace quorvane {

namespace {

// What the started server is given beyond its ports: forwarding, a password for every login
// (so that guessing has something to guess), and its log. Every defence keeps its default.
std::string attackHosting(const std::string& password) {
  std::string text;
  for (const char c : password) {
    text += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
  }
  return "<server-name>Quorvane Attack</server-name>\n"
         "<server-password>" + text + "</server-password>\n"
         "<allow-forwarding>true</allow-forwarding><server-logging>true</server-logging>\n";
}

constexpr double kStopPatience = 10;

}  // namespace

AttackRun::AttackRun(const AttackOptions& options) : options_(options) {}

AttackRun::~AttackRun() = default;

bool AttackRun::run() {
  const Clock::time_point start = Clock::now();
  std::string error;
  if (!findServer(error)) {
    std::printf("quorvane-attack: %s\n", error.c_str());
    return false;
  }
  printHeader();
  if (options_.wants(1)) amplification();
  if (options_.wants(2)) victim();
  if (options_.wants(3)) hammer();
  if (options_.wants(4)) memory();
  if (options_.wants(5)) guessing();
  stopServer();
  printLogTable();
  std::printf("targets: %d met, %d missed; %s in %.0f s\n", met_, missed_,
              failures_.empty() ? "every measurement completed" : "SOME MEASUREMENTS FAILED",
              secondsSince(start));
  std::fflush(stdout);
  return failures_.empty();
}

bool AttackRun::findServer(std::string& error) {
  if (options_.serverProgram.empty()) {
    hostPort_ = options_.port;
    soundPort_ = options_.soundPort;
    serverPid_ = options_.serverPid;
    logPath_ = options_.logFile;
    return true;
  }
  Subject::Setup setup;
  setup.hosting = attackHosting(options_.password);
  setup.openFiles = static_cast<rlim_t>(options_.serverFiles);
  server_ = Subject::start(Subject::Kind::Server, options_.serverProgram, error, setup);
  if (server_ == nullptr) return false;
  hostPort_ = server_->hostPort();
  soundPort_ = server_->soundPort();
  serverPid_ = server_->pid();
  logPath_ = server_->directory() + "/QuorvaneService.log";
  return true;
}

void AttackRun::stopServer() {
  if (server_ == nullptr) return;
  if (!server_->alive()) {
    failed("the server ended during " + serving_ + "; it printed: " + server_->console());
  } else {
    // The console run ends with exit code 1 when it stopped cleanly.
    const int status = server_->stop(kStopPatience);
    if (!(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 1)) {
      failed("the server serving " + serving_ + " did not stop cleanly within " +
             std::to_string(static_cast<int>(kStopPatience)) + " s of SIGINT");
    }
  }
  server_.reset();
}

bool AttackRun::freshServer(const std::string& label) {
  if (options_.serverProgram.empty()) return true;
  if (!serving_.empty()) {
    stopServer();
    std::string error;
    if (!findServer(error)) {
      failed(label + ": the server did not start: " + error);
      return false;
    }
  }
  serving_ = label;
  return true;
}

void AttackRun::printHeader() const {
  utsname system{};
  ::uname(&system);
  const std::time_t now = std::time(nullptr);
  char date[64];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M", std::localtime(&now));
  std::printf("quorvane-attack %s: %ld CPUs, Linux %s, load average %s\n", date,
              ::sysconf(_SC_NPROCESSORS_ONLN), system.release, probe::loadAverage().c_str());
  if (server_ != nullptr) {
    std::printf("server: %s, started afresh for each measurement, on free ports; open-file "
                "limit %ld\n  (room for about %ld clients); its settings file: the ports, "
                "forwarding, a server password and logging;\n  every defence at its default\n",
                options_.serverProgram.c_str(), options_.serverFiles, server_->roomForClients());
  } else {
    std::printf("server: %s:%d/%d (pid %d, log %s)\n", options_.host.c_str(), hostPort_,
                soundPort_, serverPid_, logPath_.empty() ? "not given" : logPath_.c_str());
  }
  std::printf("attacker: one address per measurement (127.0.0.2 to 127.0.0.9), up to %zu "
              "connections at once, at most %zu\n  of them logging in at a time, another opened "
              "at once for each one the server closes, at most %zu opened\n  per measurement; "
              "honest clients each on an address of their own%s\n\n",
              options_.attackConnections, options_.attackPending, options_.attackAttempts,
              options_.quick ? " (quick run: its figures mean nothing)" : "");
  std::fflush(stdout);
}

void AttackRun::judge(bool met, const std::string& target) {
  count(met);
  std::printf("  target: %s: %s\n\n", target.c_str(), met ? "PASS" : "MISS");
  std::fflush(stdout);
}

void AttackRun::failed(const std::string& why) {
  failures_.push_back(why);
  std::printf("  FAILED: %s\n\n", why.c_str());
  std::fflush(stdout);
}

AttackPool::Options AttackRun::attacker(int n) const {
  AttackPool::Options options;
  options.address = "127.0.0." + std::to_string(n);
  options.host = options_.host;
  options.hostPort = hostPort_;
  options.soundPort = soundPort_;
  options.password = options_.password;
  options.connections = options_.attackConnections;
  options.pending = options_.attackPending;
  options.attempts = options_.attackAttempts;
  return options;
}

ProtocolClient::Options AttackRun::honest() const {
  ProtocolClient::Options options;
  options.host = options_.host;
  options.hostPort = hostPort_;
  options.soundPort = soundPort_;
  options.login.password = options_.password;
  return options;
}

void AttackRun::race(ClientLoop& attack, ClientLoop& watch, Clock::time_point end,
                     const std::function<bool()>& done) {
  std::atomic<bool> over{false};
  std::thread attacker([&] { attack.runUntil([&] { return over.load(); }, end); });
  watch.runUntil(done ? done : [] { return false; }, end);
  over = true;
  attacker.join();
}

std::uint64_t AttackRun::logBytes() const {
  return logPath_.empty() ? 0 : probe::fileBytes(logPath_);
}

void AttackRun::logGrowth(const std::string& label, std::uint64_t before, double seconds) {
  const std::uint64_t now = logBytes();
  logGrowths_.push_back({label, now - std::min(before, now), seconds});
}

void AttackRun::printLogTable() const {
  if (logPath_.empty()) {
    std::printf("The log: not measured (give --log with --port)\n\n");
    return;
  }
  std::printf("The log's growth during each measurement (logging on)\n");
  std::printf("  %-48s %12s %10s %14s\n", "measurement", "bytes", "seconds", "kB a second");
  for (const LogEntry& entry : logGrowths_) {
    std::printf("  %-48s %12llu %10.1f %14.2f\n", entry.label.c_str(),
                static_cast<unsigned long long>(entry.bytes), entry.seconds,
                entry.seconds > 0 ? static_cast<double>(entry.bytes) / 1e3 / entry.seconds : 0);
  }
  std::printf("\n");
}

}  // namespace quorvane
