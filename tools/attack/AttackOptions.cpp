#include "attack/AttackOptions.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string_view>

namespace quorvane {

namespace {

bool readNumber(const char* text, double& out) {
  char* end = nullptr;
  out = std::strtod(text, &end);
  return end != text && *end == '\0' && out >= 0;
}

}  // namespace

const char* AttackOptions::usage() {
  return "usage: quorvane-attack (--server PROGRAM | --port P --sound-port P [--host H]\n"
         "                        [--server-pid PID] [--log FILE]) [--password TEXT]\n"
         "                       [--server-files N] [--quick] [--listeners N]\n"
         "                       [--flood-seconds S] [--victim-seconds S] [--hammer-attempts N]\n"
         "                       [--logins N] [--non-readers N] [--memory-seconds S]\n"
         "                       [--guess-seconds S] [--attack-connections N]\n"
         "                       [--attack-attempts N] [--only 1,2,3,4,5]\n";
}

bool AttackOptions::parse(int argc, char** argv, std::string& error) {
  // Quick sizes first, so that any size given on the command line overrides them.
  for (int i = 1; i < argc; ++i) quick = quick || std::string_view(argv[i]) == "--quick";
  if (quick) shrinkForQuickRun();
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    if (name == "--quick") continue;
    if (i + 1 >= argc) {
      error = "missing value after " + std::string(name);
      return false;
    }
    const char* value = argv[++i];
    if (name == "--only") {
      std::istringstream list(value);
      for (std::string number; std::getline(list, number, ',');) {
        only.insert(std::atoi(number.c_str()));
      }
      continue;
    }
    std::string* text = name == "--server"     ? &serverProgram
                        : name == "--host"     ? &host
                        : name == "--log"      ? &logFile
                        : name == "--password" ? &password
                                               : nullptr;
    if (text != nullptr) {
      *text = value;
      continue;
    }
    double number = 0;
    if (!readNumber(value, number)) {
      error = "not a number: " + std::string(name) + " " + value;
      return false;
    }
    const auto count = static_cast<std::size_t>(number);
    if (name == "--port") port = static_cast<int>(number);
    else if (name == "--sound-port") soundPort = static_cast<int>(number);
    else if (name == "--server-pid") serverPid = static_cast<int>(number);
    else if (name == "--server-files") serverFiles = static_cast<long>(number);
    else if (name == "--listeners") listeners = count;
    else if (name == "--flood-seconds") floodSeconds = number;
    else if (name == "--victim-seconds") victimSeconds = number;
    else if (name == "--hammer-attempts") hammerAttempts = count;
    else if (name == "--logins") logins = count;
    else if (name == "--non-readers") nonReaders = count;
    else if (name == "--memory-seconds") memorySeconds = number;
    else if (name == "--guess-seconds") guessSeconds = number;
    else if (name == "--attack-connections") attackConnections = count;
    else if (name == "--attack-attempts") attackAttempts = count;
    else {
      error = "unknown option " + std::string(name);
      return false;
    }
  }
  // The server runs from a scratch directory: it is named by its full path.
  if (!serverProgram.empty()) serverProgram = std::filesystem::absolute(serverProgram).string();
  if (serverProgram.empty() && (port == 0 || soundPort == 0)) {
    error = "give --server, or --port and --sound-port of a running server";
    return false;
  }
  // Honest clients come from 127.0.1.x, 127.0.2.x and 127.0.3.x, one address each.
  if (listeners < 1 || listeners > 250 || nonReaders < 1 || nonReaders > 250 || logins < 1 ||
      attackConnections < 1) {
    error = "--listeners and --non-readers must be 1 to 250, --logins and "
            "--attack-connections at least 1";
    return false;
  }
  return true;
}

void AttackOptions::shrinkForQuickRun() {
  listeners = 10;
  floodSeconds = 1;
  victimSeconds = 2;
  hammerAttempts = 300;
  logins = 5;
  nonReaders = 10;
  memorySeconds = 2;
  guessSeconds = 2;
  attackAttempts = 1000;
}

}  // namespace quorvane
