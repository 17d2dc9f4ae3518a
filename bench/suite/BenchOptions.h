// The command line of quorvane-bench and the sizes of every scenario, full or quick.
#pragma once

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace quorvane {

struct BenchOptions {
  std::string serverProgram;
  std::string relayProgram;
  std::string pingProgram;
  // quorvane-load, for the voice-under-load scenario.
  std::string loadProgram;
  // Runs of each scenario per subject, interleaved server, baseline, server, ...
  int repeat = 3;
  // Tiny sizes, for a smoke test of the bench itself.
  bool quick = false;
  // Families to run (voice, voiceload, ping, login, capacity); empty runs all.
  std::set<std::string> only;
  // Clients the capacity scenario tries; 0: as many as the server says it has room for, up to
  // 30,000.
  long capacityClients = 0;

  // Voice: seconds per full-rate run, seconds and rate of the fixed-rate run, idle round trips.
  double fullRateSeconds = 2.0;
  double fixedRateSeconds = 4.0;
  double fixedRate = 50000;
  int idleRoundTrips = 2000;
  double idleGapSeconds = 0.0005;
  // Voice under load: idle round trips (one every 2 ms), then the load tool's clients, run time
  // and the time its logins are spread over.
  int loadRoundTrips = 2500;
  int loadClients = 1000;
  double loadSeconds = 20;
  double loadRampSeconds = 5;
  // Control: the ping shapes (connections, pings outstanding on each), warm-up and window.
  std::vector<std::pair<int, int>> pingShapes = {{1, 1}, {100, 1}, {100, 8}, {1000, 1}};
  double pingWarmupSeconds = 0.3;
  double pingSeconds = 2.0;
  // Login and channel message: the clients and the messages sent to their channel.
  int loginClients = 1000;
  int channelMessages = 100;

  bool wants(const std::string& family) const { return only.empty() || only.count(family) != 0; }
  // Reads the arguments; false with `error` on a mistake.
  bool parse(int argc, char** argv, std::string& error);
  static const char* usage();

 private:
  void shrinkForQuickRun();
};

}  // namespace quorvane
