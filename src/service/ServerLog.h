// The server's plain-text log: one line per entry, stamped with the local date and time to the
// minute, flushed at once. One per process, created by the first entry; the file is
// "QuorvaneService.log" in the current directory (or the one given to placeIn) and starts afresh
// with each process. reopen
// (SIGHUP on POSIX) lets a rotation tool rename the file: later entries go to a file of the
// old name, appended. Any thread may write or reopen; the log's lock orders them.
#pragma once

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "server/LogSink.h"

namespace quorvane {

class ServerLog : public LogSink {
 public:
  static constexpr const char* kFileName = "QuorvaneService.log";

  static ServerLog& instance();
  // The log will be created in `directory` instead of the current directory. For the thread
  // that starts the service, before the first entry; later calls change nothing.
  static void placeIn(const std::string& directory);
  // The log when the process has created it, else nullptr (with logging off it never is).
  static ServerLog* created();

  virtual ~ServerLog();
  ServerLog(const ServerLog&) = delete;
  ServerLog& operator=(const ServerLog&) = delete;

  // Appends one entry: prefix, message, line feed. Any thread; entries never interleave.
  void write(const std::string& message) override;

  // Closes the file and opens the same name again, appending (created when missing), so that
  // entries follow a renamed log into a new file. A file that cannot be opened drops entries
  // until the next reopen.
  void reopen();

  // The prefix of an entry made at `local`: "%d/%.2d/%2d %.2d:%.2d - " of year, month, day,
  // hour and minute.
  static std::string prefix(const std::tm& local);

  // Test hook: later entries go to `path`, which is truncated now. The program never calls it.
  void useFile(const std::string& path);

 private:
  explicit ServerLog(const std::string& path);

  // Closes the current file and opens path_; lock_ held (or construction).
  void open(bool truncate);

  static std::atomic<ServerLog*> created_;

  std::FILE* file_ = nullptr;  // nullptr while no file could be opened
  std::string path_;
  std::mutex lock_;
};

}  // namespace quorvane
