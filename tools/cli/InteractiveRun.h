// The interactive session: one poll loop over standard input and the client's sockets. Each
// line read is a command; the end of input is "/quit". Commands that read the session (/who,
// /channels, /kick) wait until the server has answered what was sent before them, so piped
// input behaves as if typed slowly. Sends the keep-alive "ping" on time. Used on one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "cli/CliClient.h"
#include "cli/CliCommand.h"

namespace quorvane {

class InteractiveRun {
 public:
  using Clock = std::chrono::steady_clock;

  explicit InteractiveRun(CliClient& client) : client_(client) {}

  // Runs until "/quit", the end of input or the end of the connection; the exit code.
  int run();

 private:
  void serve(Clock::time_point until);
  void readInput();
  // Runs the complete lines read so far, until one has to wait for the server.
  void runCommands();
  void execute(const CliCommand& command);
  int finish();

  CliClient& client_;
  std::string input_;
  bool inputOpen_ = true;
  bool quitting_ = false;
  // Something was sent since the server last answered everything.
  bool unanswered_ = false;
  // The barrier the next command waits for (0: none), and since when.
  std::uint64_t awaiting_ = 0;
  Clock::time_point awaitingSince_{};
};

}  // namespace quorvane
