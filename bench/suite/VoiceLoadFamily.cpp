#include "suite/VoiceLoadFamily.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "client/ProtocolClient.h"
#include "suite/Stats.h"
#include "suite/VoiceUsers.h"

namespace quorvane {

namespace {

using Check = ResultTable::Check;

// Round trips measured between two looks at whether the load tool has ended.
constexpr int kChunk = 250;
// The load tool's run, and how much longer than that it may take to finish and report.
constexpr int kGraceSeconds = 60;

// Metrics are fetched this often while the load runs, as a monitoring system would, only faster.
constexpr auto kScrapePeriod = std::chrono::milliseconds(100);

// One "GET /metrics" on a connection of its own, read to its end; its seconds, or -1 when it
// failed or was not answered with 200.
double scrapeOnce(int port) {
  const auto start = std::chrono::steady_clock::now();
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  const timeval patience{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  const sockaddr_in server = loopbackAddress("127.0.0.1", port);
  const std::string request =
      "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  std::string response;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(request.size())) {
    char buffer[16384];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) response.append(buffer, n);
  }
  ::close(fd);
  if (response.rfind("HTTP/1.1 200", 0) != 0) return -1;
  return secondsSince(start);
}

// Scrapes every kScrapePeriod on a thread of its own until stopped or destroyed.
class Scraper {
 public:
  explicit Scraper(int port) : thread_([this, port] { run(port); }) {}
  ~Scraper() { stop(); }
  Scraper(const Scraper&) = delete;
  Scraper& operator=(const Scraper&) = delete;
  // Ends the scraping; what it measured may be read from then on.
  void stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
  }
  const std::vector<double>& times() const { return times_; }
  int failures() const { return failures_; }

 private:
  void run(int port) {
    while (!stopping_) {
      const double taken = scrapeOnce(port);
      if (taken < 0) {
        ++failures_;
      } else {
        times_.push_back(taken);
      }
      std::this_thread::sleep_for(kScrapePeriod);
    }
  }

  std::atomic<bool> stopping_{false};
  std::vector<double> times_;
  int failures_ = 0;
  std::thread thread_;
};

}  // namespace

VoiceLoadFamily::VoiceLoadFamily(const BenchOptions& options) : Family(options) {
  tables_.emplace_back(
      "(8) Voice round trips, one every 2 ms between two members of a channel: idle, then while " +
          std::to_string(options.loadClients) +
          " clients of quorvane-load (nice 19) connect, log in and chat",
      "no baseline");
  ResultTable& table = tables_.back();
  table.add({"idle.p50", "idle: round trip p50", "us", 1e6, 0});
  table.add({"idle.p999", "idle: round trip p99.9", "us", 1e6, 0});
  table.add({"idle.max", "idle: slowest round trip", "us", 1e6, 0});
  table.add({"load.p50", "under load: round trip p50", "us", 1e6, 0});
  table.add({"load.p999", "under load: round trip p99.9", "us", 1e6, 0, Check::AtMost, 2000});
  table.add({"load.max", "under load: slowest round trip", "us", 1e6, 0});
  table.add({"load.ratio", "under load p99.9 / idle p99.9 (same run)", "x", 1, 2, Check::AtMost,
             3});
  table.add({"load.count", "under load: round trips", "", 1, 0});
  table.add({"scrape.p50", "under load: GET /metrics every 100 ms, median", "ms", 1e3, 2,
             Check::AtMost, 10});
  table.add({"scrape.max", "under load: GET /metrics, slowest", "ms", 1e3, 2});
  table.add({"scrape.failed", "under load: GET /metrics failed", "", 1, 0});
  table.add({"lost", "unanswered within 1 s (idle and under load)", "", 1, 0});
}

bool VoiceLoadFamily::run(Subject& subject, Figures& figures, std::string& error) {
  VoiceEndpoints endpoints;
  endpoints.subject = loopbackAddress("127.0.0.1", subject.soundPort());
  ProtocolClient receiver;
  ProtocolClient sender;
  const std::string receiverAddress = voiceAddress(0);
  const std::string senderAddress = voiceAddress(1);
  endpoints.receivers.push_back(openVoiceSocket(receiverAddress.c_str(), true));
  endpoints.senders.push_back(openVoiceSocket(senderAddress.c_str(), false));
  const std::string loadOutput = subject.directory() + "/load.txt";
  bool ready = endpoints.receivers[0] >= 0 && endpoints.senders[0] >= 0;
  if (!ready) error = "cannot open the voice sockets";
  ready = ready && logInFrom(subject, receiverAddress, endpoints.receivers[0], receiver, error) &&
          logInFrom(subject, senderAddress, endpoints.senders[0], sender, error);
  if (ready) {
    // Only what the server sends arrives at the receiver.
    ::connect(endpoints.receivers[0], reinterpret_cast<const sockaddr*>(&endpoints.subject),
              sizeof endpoints.subject);
    endpoints.receiverIds.push_back(receiver.userId());
    const RoundTripResult idle = VoiceFlood::roundTrips(endpoints, options_.loadRoundTrips, 0.002);
    record("idle.", idle, figures);
    RoundTripResult loaded;
    const pid_t load = startLoad(subject, loadOutput, error);
    Scraper scraper(subject.statusPort());
    ready = load > 0 && roundTripsUnderLoad(load, loadOutput, endpoints, loaded, error);
    scraper.stop();
    if (!scraper.times().empty()) {
      figures["scrape.p50"] = percentile(scraper.times(), 0.5);
      figures["scrape.max"] = *std::max_element(scraper.times().begin(), scraper.times().end());
    }
    figures["scrape.failed"] = scraper.failures();
    record("load.", loaded, figures);
    figures["load.count"] = static_cast<double>(loaded.seconds.size());
    figures["lost"] = idle.lost + loaded.lost;
    const double idleTail = figures["idle.p999"];
    if (idleTail > 0 && !loaded.seconds.empty()) {
      figures["load.ratio"] = figures["load.p999"] / idleTail;
    }
  }
  for (const int fd : endpoints.receivers) ::close(fd);
  for (const int fd : endpoints.senders) ::close(fd);
  receiver.close(true);
  sender.close(true);
  return ready;
}

pid_t VoiceLoadFamily::startLoad(const Subject& subject, const std::string& outputPath,
                                 std::string& error) const {
  std::vector<std::string> arguments = {
      "/usr/bin/nice", "-n", "19", options_.loadProgram,
      "--port", std::to_string(subject.hostPort()),
      "--sound-port", std::to_string(subject.soundPort()),
      "--clients", std::to_string(options_.loadClients),
      "--seconds", std::to_string(options_.loadSeconds),
      "--ramp-seconds", std::to_string(options_.loadRampSeconds),
      "--report-interval", "1000"};
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    error = "fork failed";
    return -1;
  }
  if (pid == 0) {
    const int output = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (output < 0) ::_exit(127);
    ::dup2(output, 1);
    ::dup2(output, 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

bool VoiceLoadFamily::roundTripsUnderLoad(pid_t load, const std::string& outputPath,
                                          const VoiceEndpoints& endpoints,
                                          RoundTripResult& result, std::string& error) const {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration<double>(options_.loadSeconds + kGraceSeconds);
  int status = 0;
  pid_t ended = 0;
  while (ended == 0 && std::chrono::steady_clock::now() < deadline) {
    const RoundTripResult chunk = VoiceFlood::roundTrips(endpoints, kChunk, 0.002);
    result.seconds.insert(result.seconds.end(), chunk.seconds.begin(), chunk.seconds.end());
    result.lost += chunk.lost;
    ended = ::waitpid(load, &status, WNOHANG);
  }
  if (ended == 0) {
    ::kill(load, SIGKILL);
    ::waitpid(load, &status, 0);
    error = "quorvane-load did not finish in time";
    return false;
  }
  if (ended < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    error = "quorvane-load failed: " + readFile(outputPath);
    return false;
  }
  return true;
}

void VoiceLoadFamily::record(const std::string& prefix, const RoundTripResult& result,
                             Figures& figures) {
  if (result.seconds.empty()) return;
  figures[prefix + "p50"] = percentile(result.seconds, 0.50);
  figures[prefix + "p999"] = percentile(result.seconds, 0.999);
  figures[prefix + "max"] = *std::max_element(result.seconds.begin(), result.seconds.end());
}

}  // namespace quorvane
