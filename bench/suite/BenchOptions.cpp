#include "suite/BenchOptions.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string_view>

namespace quorvane {

const char* BenchOptions::usage() {
  return "usage: quorvane-bench --server PROGRAM --relay PROGRAM --ping PROGRAM\n"
         "                      [--load PROGRAM] [--repeat N] [--quick]\n"
         "                      [--only voice,voiceload,ping,login,capacity]\n"
         "                      [--capacity-clients N]\n";
}

bool BenchOptions::parse(int argc, char** argv, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    if (name == "--quick") {
      quick = true;
      continue;
    }
    if (i + 1 >= argc) {
      error = "missing value after " + std::string(name);
      return false;
    }
    const std::string value = argv[++i];
    if (name == "--server") serverProgram = value;
    else if (name == "--relay") relayProgram = value;
    else if (name == "--ping") pingProgram = value;
    else if (name == "--load") loadProgram = value;
    else if (name == "--repeat") repeat = std::atoi(value.c_str());
    else if (name == "--capacity-clients") capacityClients = std::atol(value.c_str());
    else if (name == "--only") {
      std::istringstream list(value);
      for (std::string family; std::getline(list, family, ',');) only.insert(family);
    } else {
      error = "unknown option " + std::string(name);
      return false;
    }
  }
  if (serverProgram.empty() || relayProgram.empty() || pingProgram.empty() || repeat < 1) {
    error = "--server, --relay and --ping are required, and --repeat must be at least 1";
    return false;
  }
  if (loadProgram.empty() && wants("voiceload")) {
    error = "--load is required for the voiceload scenario";
    return false;
  }
  // The server runs from a scratch directory: every program is named by its full path.
  for (std::string* program : {&serverProgram, &relayProgram, &pingProgram, &loadProgram}) {
    if (!program->empty()) *program = std::filesystem::absolute(*program).string();
  }
  if (quick) shrinkForQuickRun();
  return true;
}

void BenchOptions::shrinkForQuickRun() {
  fullRateSeconds = 0.2;
  fixedRateSeconds = 0.3;
  fixedRate = 5000;
  idleRoundTrips = 50;
  loadRoundTrips = 50;
  loadClients = 20;
  loadSeconds = 1;
  loadRampSeconds = 0.2;
  pingShapes = {{1, 1}, {10, 2}};
  pingWarmupSeconds = 0.05;
  pingSeconds = 0.2;
  loginClients = 30;
  channelMessages = 10;
  if (capacityClients == 0) capacityClients = 200;
}

}  // namespace quorvane
