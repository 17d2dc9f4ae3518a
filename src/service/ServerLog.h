// The server's plain-text log: one line per entry, stamped with the local date and time to the
// minute, flushed at once. One per process, created by the first entry; the file is
// "QuorvaneService.log" in the current directory and starts afresh with each process.
#pragma once

#include <ctime>
#include <fstream>
#include <mutex>
#include <string>

#include "server/LogSink.h"

namespace quorvane {

class ServerLog : public LogSink {
 public:
  static constexpr const char* kFileName = "QuorvaneService.log";

  static ServerLog& instance();

  virtual ~ServerLog();
  ServerLog(const ServerLog&) = delete;
  ServerLog& operator=(const ServerLog&) = delete;

  // Appends one entry: prefix, message, line feed. Any thread; entries never interleave.
  void write(const std::string& message) override;

  // The prefix of an entry made at `local`: "%d/%.2d/%2d %.2d:%.2d - " of year, month, day,
  // hour and minute.
  static std::string prefix(const std::tm& local);

  // For tests: later entries go to `path`, which is truncated now. The program never calls it.
  void useFile(const std::string& path);

 private:
  explicit ServerLog(const std::string& path);

  std::ofstream file_;
  std::mutex lock_;
};

}  // namespace quorvane
