// quorvane-cli as a child process, with pipes for its standard input, output and error. Every
// wait is bounded; a child still running at destruction is killed and reaped.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/WaitFor.h"

namespace quorvane::test {

class CliProcess {
 public:
  explicit CliProcess(const std::vector<std::string>& arguments);
  ~CliProcess();
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  bool started() const { return pid_ > 0; }
  // Writes to the child's standard input; closeInput() ends it.
  bool write(std::string_view text);
  void closeInput();

  // Reads standard output until a line matches `pattern` (a regular expression searched in the
  // line); that line, or nothing when the child ends or the time-out passes first.
  std::optional<std::string> awaitLine(const std::string& pattern,
                                       std::chrono::milliseconds timeout = kPatience);
  // Waits for the child to end, reading everything it writes; its exit code, or -1 when it
  // did not end in time (it is then killed) or ended by a signal.
  int wait(std::chrono::milliseconds timeout = kPatience);

  // Everything read so far.
  const std::string& output() const { return output_; }
  const std::string& errors() const { return errors_; }

 private:
  // Reads what the child wrote, waiting up to `timeout` for something; false at the end of both
  // streams.
  bool pump(std::chrono::milliseconds timeout);

  pid_t pid_ = -1;
  int input_ = -1;
  int outputPipe_ = -1;
  int errorPipe_ = -1;
  std::string output_;
  std::string errors_;
  std::size_t scanned_ = 0;
  int status_ = -1;
};

}  // namespace quorvane::test
