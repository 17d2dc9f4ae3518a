// One of the built tools as a child process: standard input through a pipe, standard output and
// error into files of a scratch directory, read as they grow. Every wait is bounded; a child
// still running when its wait ends, or at destruction, is killed and reaped.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/Files.h"
#include "support/WaitFor.h"

namespace quorvane::test {

class ToolProcess {
 public:
  ToolProcess(const std::string& program, const std::vector<std::string>& arguments);
  ~ToolProcess();
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  bool started() const { return pid_ > 0; }
  // Writes to the child's standard input; closeInput() ends it.
  bool write(std::string_view text);
  void closeInput();
  // The next line of standard output that matches `pattern` (a regular expression searched in
  // the line); nothing when the child ends or the time-out passes first.
  std::optional<std::string> awaitLine(const std::string& pattern,
                                       std::chrono::milliseconds timeout = kPatience);
  // The child's exit code once it has ended; -1 when it ended by a signal or did not end in
  // time (it is then killed).
  int wait(std::chrono::milliseconds timeout = kPatience);

  // Everything written so far.
  std::string output() const { return readFile(directory_ / "out"); }
  std::string errors() const { return readFile(directory_ / "err"); }

 private:
  // True once the child has ended; its exit status is then kept.
  bool ended();

  std::filesystem::path directory_;
  pid_t pid_ = -1;
  int input_ = -1;
  std::size_t scanned_ = 0;
  int status_ = -1;
};

}  // namespace quorvane::test
