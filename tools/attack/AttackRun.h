// A whole attack run: the server started (or found), the five measurements one after another,
// each with an attacking address of its own, and the report. Split by concern: the run, the
// header and the helpers in AttackRun.cpp, the measurements in AttackRunFloods.cpp (floods of
// lines) and AttackRunConnections.cpp (connections, memory and passwords). Used by main() on one
// thread; each measurement runs the attacker's loop on a second thread meanwhile.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "attack/AttackOptions.h"
#include "attack/AttackPool.h"
#include "client/ClientLoop.h"
#include "client/ProtocolClient.h"
#include "suite/Subject.h"

namespace quorvane {

class AttackRun {
 public:
  using Clock = ClientLoop::Clock;

  // The long lines: a message text of about 1.9 kB, within the server's 2 KiB line.
  static constexpr std::size_t kMessageText = 1880;
  // Logging in, and waiting for the lines that follow to stop.
  static constexpr auto kLoginPatience = std::chrono::seconds(30);
  static constexpr auto kQuiet = std::chrono::milliseconds(300);
  static constexpr auto kSettlePatience = std::chrono::seconds(10);
  static Clock::duration seconds(double value) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
  }

  explicit AttackRun(const AttackOptions& options);
  ~AttackRun();

  // Runs every measurement and prints the report. False when one could not be made (the report
  // says which and why); whether the targets were met does not count.
  bool run();

 private:
  // A target judged and printed.
  void judge(bool met, const std::string& target);
  // A target judged in a table row.
  void count(bool met) { (met ? met_ : missed_) += 1; }
  // A measurement that could not be made.
  void failed(const std::string& why);

  bool findServer(std::string& error);
  // Stops the started server; a server that ended early or does not stop cleanly fails the
  // measurement it served.
  void stopServer();
  // Gives the measurement `label` a freshly started server (the one found at the start, for the
  // first); true at once for a running server the tool was pointed at. What one measurement
  // leaves behind in a server (lines it read and has yet to handle, buckets, bans) then never
  // reaches the next.
  bool freshServer(const std::string& label);
  void printHeader() const;
  void printLogTable() const;

  // The measurements.
  void amplification();
  struct Flood {
    const char* label;
    AttackPool::Script script;
  };
  // One flood from 127.0.0.<attacker>: its row of the table.
  void floodListeners(const Flood& flood, int attacker);
  void victim();
  void hammer();
  void memory();
  void guessing();

  // Options for a client of the attacking address 127.0.0.<n>, and for honest clients.
  AttackPool::Options attacker(int n) const;
  ProtocolClient::Options honest() const;
  // Runs `attack` on a thread of its own and `watch` on this one until `end`, or until `done`
  // (checked on this thread) holds.
  static void race(ClientLoop& attack, ClientLoop& watch, Clock::time_point end,
                   const std::function<bool()>& done = {});
  std::uint64_t logBytes() const;
  // Notes the log's growth since `before` under `label`, for the table at the end.
  void logGrowth(const std::string& label, std::uint64_t before, double seconds);

  const AttackOptions& options_;
  std::unique_ptr<Subject> server_;
  pid_t serverPid_ = 0;
  int hostPort_ = 0;
  int soundPort_ = 0;
  std::string logPath_;
  // The measurement the current server serves; empty until one has begun.
  std::string serving_;
  struct LogEntry {
    std::string label;
    std::uint64_t bytes;
    double seconds;
  };
  std::vector<LogEntry> logGrowths_;
  int met_ = 0;
  int missed_ = 0;
  std::vector<std::string> failures_;
};

}  // namespace quorvane
