#include "service/ServerLog.h"

#include <filesystem>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quorvane {

namespace {

// Where the log is created; empty for the current directory.
std::string logDirectory;

std::tm localNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  return local;
}

// A message holding a line break (a nick may carry an escaped CR LF) would forge a second entry;
// the breaks are written as the two-character escapes instead.
std::string oneLine(const std::string& message) {
  if (message.find_first_of("\r\n") == std::string::npos) return message;
  std::string line;
  line.reserve(message.size() + 8);
  for (char c : message) {
    if (c == '\r') {
      line += "\\r";
    } else if (c == '\n') {
      line += "\\n";
    } else {
      line += c;
    }
  }
  return line;
}

// Opens `path` for appending, emptied first when `truncate`; nullptr when it cannot be opened.
// Binary mode: every entry ends in a bare line feed on every platform.
std::FILE* openFile(const std::string& path, bool truncate) {
#ifdef _WIN32
  return std::fopen(path.c_str(), truncate ? "wb" : "ab");
#else
  // The log directory may be writable by the service account while root runs the program (an
  // administrator's test run, -i). As root the file is therefore taken only as the regular file
  // of that name with no other name: never a symbolic link (nor created through a dangling one),
  // a hard link or a FIFO, through which root could be made to empty or fill any file. It is
  // checked before it is emptied; O_NONBLOCK keeps a FIFO from blocking the open.
  const bool root = ::geteuid() == 0;
  int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
  if (root) {
    flags |= O_NOFOLLOW | O_NONBLOCK;
  } else if (truncate) {
    flags |= O_TRUNC;
  }
  int fd = ::open(path.c_str(), flags, 0666);
  if (fd < 0) return nullptr;
  struct stat info {};
  bool refused = root && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
                          info.st_nlink != 1 || (truncate && ::ftruncate(fd, 0) != 0));
  std::FILE* file = refused ? nullptr : ::fdopen(fd, "a");
  if (file == nullptr) ::close(fd);
  return file;
#endif
}

}  // namespace

std::atomic<ServerLog*> ServerLog::created_{nullptr};

ServerLog& ServerLog::instance() {
  // Created once, thread-safely, on the first entry; destroyed at process exit.
  static ServerLog log(logDirectory.empty()
                           ? std::string(kFileName)
                           : (std::filesystem::path(logDirectory) / kFileName).string());
  return log;
}

void ServerLog::placeIn(const std::string& directory) {
  if (created_ == nullptr) logDirectory = directory;
}

ServerLog* ServerLog::created() { return created_; }

ServerLog::ServerLog(const std::string& path) : path_(path) {
  open(true);
  created_ = this;
}

ServerLog::~ServerLog() {
  created_ = nullptr;
  if (file_ != nullptr) std::fclose(file_);
}

void ServerLog::write(const std::string& message) {
  std::string entry = prefix(localNow()) + oneLine(message) + "\n";
  std::lock_guard<std::mutex> guard(lock_);
  // Without an open file the entry is dropped; write errors are ignored.
  if (file_ == nullptr) return;
  std::fwrite(entry.data(), 1, entry.size(), file_);
  std::fflush(file_);
}

void ServerLog::reopen() {
  std::lock_guard<std::mutex> guard(lock_);
  open(false);
}

void ServerLog::open(bool truncate) {
  if (file_ != nullptr) std::fclose(file_);
  file_ = openFile(path_, truncate);
}

std::string ServerLog::prefix(const std::tm& local) {
  char buffer[50];
  std::snprintf(buffer, sizeof buffer, "%d/%.2d/%2d %.2d:%.2d - ", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min);
  return buffer;
}

void ServerLog::useFile(const std::string& path) {
  std::lock_guard<std::mutex> guard(lock_);
  path_ = path;
  open(true);
}

}  // namespace quorvane
