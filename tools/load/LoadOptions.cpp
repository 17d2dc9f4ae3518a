#include "load/LoadOptions.h"

#include <cstdlib>
#include <string_view>

namespace quorvane {

namespace {

bool readNumber(const char* text, double& out) {
  char* end = nullptr;
  out = std::strtod(text, &end);
  return end != text && *end == '\0';
}

}  // namespace

const char* LoadOptions::usage() {
  return "usage: quorvane-load [--host H] [--port P] [--sound-port P] [--clients N]\n"
         "                     [--seconds S] [--threads T] [--seed N] [--report-interval S]\n"
         "                     [--interval-ms MS] [--ramp-seconds S]\n";
}

bool LoadOptions::parse(int argc, char** argv, std::string& error) {
  for (int i = 1; i < argc; i += 2) {
    const std::string_view name = argv[i];
    if (i + 1 >= argc) {
      error = "missing value after " + std::string(name);
      return false;
    }
    const char* value = argv[i + 1];
    double number = 0;
    if (name == "--host") {
      host = value;
      continue;
    }
    if (!readNumber(value, number) || number < 0) {
      error = "not a number: " + std::string(name) + " " + value;
      return false;
    }
    if (name == "--port") port = static_cast<int>(number);
    else if (name == "--sound-port") soundPort = static_cast<int>(number);
    else if (name == "--clients") clients = static_cast<int>(number);
    else if (name == "--seconds") seconds = number;
    else if (name == "--threads") threads = static_cast<int>(number);
    else if (name == "--seed") seed = static_cast<std::uint64_t>(number);
    else if (name == "--report-interval") reportInterval = number;
    else if (name == "--interval-ms") intervalMs = static_cast<int>(number);
    else if (name == "--ramp-seconds") rampSeconds = number;
    else {
      error = "unknown option " + std::string(name);
      return false;
    }
  }
  if (clients < 1 || threads < 1 || intervalMs < 1) {
    error = "--clients, --threads and --interval-ms must be at least 1";
    return false;
  }
  return true;
}

}  // namespace quorvane
