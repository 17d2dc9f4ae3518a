#include "cli/CliOptions.h"

#include <cmath>
#include <cstdlib>
#include <string_view>

namespace quorvane {

namespace {

bool readPort(const char* text, int& out) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > 65535) return false;
  out = static_cast<int>(value);
  return true;
}

// A positive number of seconds, fractions allowed, at most a day.
bool readSeconds(const char* text, std::chrono::milliseconds& out) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(value > 0) || value > 86400) return false;
  out = std::chrono::milliseconds(static_cast<long long>(std::ceil(value * 1000)));
  return true;
}

}  // namespace

const char* CliOptions::usage() {
  return "usage: quorvane-cli [--host H] [--port P] [--sound-port P] --nick N [--password P]\n"
         "                    [--voice-address A] [--timeout SECONDS] [--exec CMD]...\n"
         "commands: /join PATH [PASSWORD], /say TEXT, /msg ID TEXT, /kick ID, /nick NAME,\n"
         "          /status MODE [TEXT], /who, /channels, /pwc, /quit, or a protocol line\n";
}

bool CliOptions::parse(int argc, char** argv, std::string& error) {
  bool haveNick = false;
  for (int i = 1; i < argc; i += 2) {
    const std::string_view name = argv[i];
    if (name == "--help" || name == "-h") {
      help = true;
      return true;
    }
    if (i + 1 >= argc) {
      error = "missing value after " + std::string(name);
      return false;
    }
    const char* value = argv[i + 1];
    bool ok = true;
    haveNick = haveNick || name == "--nick";
    if (name == "--host") host = value;
    else if (name == "--port") ok = readPort(value, port);
    else if (name == "--sound-port") ok = readPort(value, soundPort);
    else if (name == "--nick") nick = value;
    else if (name == "--password") password = value;
    else if (name == "--voice-address") voiceAddress = value;
    else if (name == "--exec") commands.emplace_back(value);
    else if (name == "--timeout") ok = readSeconds(value, timeout);
    else if (name == "--ping-interval") ok = readSeconds(value, pingInterval);
    else {
      error = "unknown option " + std::string(name);
      return false;
    }
    if (!ok) {
      error = "bad value for " + std::string(name) + ": " + value;
      return false;
    }
  }
  if (!haveNick) {
    error = "--nick is required";
    return false;
  }
  return true;
}

}  // namespace quorvane
