// The command line of quorvane-cli. A value type.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace quorvane {

struct CliOptions {
  std::string host = "127.0.0.1";
  int port = 10300;
  int soundPort = 10301;
  std::string nick;
  std::string password;
  // The local address of the voice socket and of the connection (the server honours a hello
  // only from the connection's address); empty lets the system choose.
  std::string voiceAddress;
  // Scripted mode when not empty: run these in order, then quit.
  std::vector<std::string> commands;
  // The bound of every wait for the server.
  std::chrono::milliseconds timeout{10000};
  // How often an interactive session sends "ping" (not in the usage text; tests shorten it).
  std::chrono::milliseconds pingInterval{60000};
  bool help = false;

  // Reads "--name value" pairs and "--help"; false (with `error` set) on anything it does not
  // know, a missing value, a bad number or a missing --nick.
  bool parse(int argc, char** argv, std::string& error);
  static const char* usage();
};

}  // namespace quorvane
