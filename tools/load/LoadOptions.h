// The command line of quorvane-load. A value type.
#pragma once

#include <cstdint>
#include <string>

namespace quorvane {

struct LoadOptions {
  std::string host = "127.0.0.1";
  int port = 10300;
  int soundPort = 10301;
  int clients = 100;
  double seconds = 60;
  int threads = 2;
  std::uint64_t seed = 1;
  double reportInterval = 10;
  // Mean time between two actions of one client.
  int intervalMs = 1000;
  // Logins are spread over this time at the start.
  double rampSeconds = 5;

  // Reads "--name value" pairs; false (with `error` set) on anything it does not know.
  bool parse(int argc, char** argv, std::string& error);
  static const char* usage();
};

}  // namespace quorvane
