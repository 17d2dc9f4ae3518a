#include "suite/PingFamily.h"

#include <time.h>

#include <deque>

#include "client/ClientPool.h"
#include "suite/Stats.h"

namespace quorvane {

namespace {

using Check = ResultTable::Check;
using Clock = ClientLoop::Clock;

constexpr std::size_t kConnectWindow = 500;
constexpr auto kConnectPatience = std::chrono::seconds(20);
constexpr auto kDrainPatience = std::chrono::seconds(3);

Clock::duration seconds(double value) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

// The rows of one shape, with the targets set for some shapes.
void addShapeRows(ResultTable& table, int connections, int outstanding) {
  const std::string key = shapeKey(connections, outstanding);
  const std::string shape = std::to_string(connections) + " x " + std::to_string(outstanding);
  ResultTable::Row rate{key + "rate", shape + ": round trips per second", "k/s", 1e-3, 1};
  if (connections == 100 && (outstanding == 1 || outstanding == 8)) {
    rate.check = Check::RatioAtLeast;
    rate.limit = outstanding == 1 ? 0.85 : 0.4;
  }
  table.add(rate);
  table.add({key + "p50", shape + ": p50", "us", 1e6, 0});
  ResultTable::Row p99{key + "p99", shape + ": p99", "us", 1e6, 0};
  if (outstanding == 1 && (connections == 1 || connections == 100)) {
    p99.check = Check::RatioAtMost;
    p99.limit = connections == 1 ? 1.5 : 2.0;
  }
  table.add(p99);
  table.add({key + "cpu", shape + ": subject CPU per round trip", "us", 1e6, 2});
  table.add({key + "bench", shape + ": bench CPU per round trip", "us", 1e6, 2});
}

}  // namespace

std::string shapeKey(int connections, int outstanding) {
  return std::to_string(connections) + "x" + std::to_string(outstanding) + ".";
}

double benchCpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

PingFamily::PingFamily(const BenchOptions& options) : Family(options) {
  tables_.emplace_back("(4) \"ping\" round trips, closed loop: connections x pings outstanding "
                       "on each (the server's clients are not logged in)",
                       "line baseline");
  for (const auto& [connections, outstanding] : options.pingShapes) {
    addShapeRows(tables_.back(), connections, outstanding);
  }
}

bool PingFamily::run(Subject& subject, Figures& figures, std::string& error) {
  for (const auto& [connections, outstanding] : options_.pingShapes) {
    if (!measureShape(subject, connections, outstanding, figures, error)) return false;
  }
  return true;
}

bool PingFamily::measureShape(Subject& subject, int connections, int outstanding,
                              Figures& figures, std::string& error) {
  ClientLoop loop;
  ProtocolClient::Options options;
  options.hostPort = subject.hostPort();
  options.ownVoiceSocket = false;
  ClientPool pool(loop, options);
  const auto count = static_cast<std::size_t>(connections);
  if (pool.connect(count, kConnectWindow, Clock::now() + kConnectPatience) != count) {
    error = "only " + std::to_string(pool.greetedCount()) + " of " + std::to_string(count) +
            " connections were greeted";
    return false;
  }
  const PingLoop result = runPingLoop(subject, loop, pool, outstanding);
  const std::string key = shapeKey(connections, outstanding);
  const auto completed = static_cast<double>(result.completed);
  figures[key + "rate"] = completed / options_.pingSeconds;
  figures[key + "p50"] = percentile(result.latencies, 0.50);
  figures[key + "p99"] = percentile(result.latencies, 0.99);
  if (completed > 0) {
    figures[key + "cpu"] = result.cpu / completed;
    figures[key + "bench"] = result.bench / completed;
  }
  if (result.unanswered != 0) {
    error = std::to_string(result.unanswered) + " pings were not answered";
    return false;
  }
  return true;
}

PingFamily::PingLoop PingFamily::runPingLoop(Subject& subject, ClientLoop& loop,
                                             ClientPool& pool, int outstanding) {
  PingLoop result;
  std::vector<std::deque<Clock::time_point>> sent(pool.size());
  const Clock::time_point start = Clock::now() + seconds(options_.pingWarmupSeconds);
  const Clock::time_point end = start + seconds(options_.pingSeconds);
  auto ping = [&](std::size_t i) {
    sent[i].push_back(Clock::now());
    ++result.unanswered;
    pool.client(i).sendLine(kPingLine);
  };
  pool.onLine([&](std::size_t i, const ServerLine& line) {
    if (!line.is("pong") || sent[i].empty()) return;
    const Clock::time_point now = Clock::now();
    const Clock::time_point asked = sent[i].front();
    sent[i].pop_front();
    --result.unanswered;
    if (now >= start && now <= end) ++result.completed;
    if (asked >= start && now <= end) {
      result.latencies.push_back(std::chrono::duration<double>(now - asked).count());
    }
    if (now < end) ping(i);
  });
  loop.schedule(start, [&] {
    result.cpu = subject.cpuSeconds();
    result.bench = benchCpuSeconds();
  });
  loop.schedule(end, [&] {
    result.cpu = subject.cpuSeconds() - result.cpu;
    result.bench = benchCpuSeconds() - result.bench;
  });
  for (std::size_t i = 0; i < pool.size(); ++i) {
    for (int k = 0; k < outstanding; ++k) ping(i);
  }
  loop.runUntil([&] { return Clock::now() > end && result.unanswered == 0; },
                end + kDrainPatience);
  pool.onLine({});
  return result;
}

}  // namespace quorvane
