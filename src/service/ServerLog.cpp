#include "service/ServerLog.h"

#include <cstdio>

namespace quorvane {

namespace {

constexpr std::ios::openmode kOpenMode = std::ios::out | std::ios::trunc | std::ios::binary;

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

}  // namespace

ServerLog& ServerLog::instance() {
  // Created once, thread-safely, on the first entry; destroyed at process exit.
  static ServerLog log(kFileName);
  return log;
}

// Binary mode: every entry ends in a bare line feed on every platform.
ServerLog::ServerLog(const std::string& path) : file_(path, kOpenMode) {}

ServerLog::~ServerLog() = default;

void ServerLog::write(const std::string& message) {
  std::string entry = prefix(localNow()) + oneLine(message) + "\n";
  std::lock_guard<std::mutex> guard(lock_);
  // A file that could not be opened leaves the stream failed, and the entry is dropped.
  file_.write(entry.data(), static_cast<std::streamsize>(entry.size()));
  file_.flush();
}

std::string ServerLog::prefix(const std::tm& local) {
  char buffer[50];
  std::snprintf(buffer, sizeof buffer, "%d/%.2d/%2d %.2d:%.2d - ", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min);
  return buffer;
}

void ServerLog::useFile(const std::string& path) {
  std::lock_guard<std::mutex> guard(lock_);
  file_.close();
  file_.clear();
  file_.open(path, kOpenMode);
}

}  // namespace quorvane
