#include "service/ServerSettings.h"

#include <windows.h>

#include <algorithm>

namespace quorvane {
namespace {

constexpr int kCreateAttempts = 100;
constexpr std::size_t kChunk = 1 << 20;

// Creates a fresh file beside `path` (a leftover of an earlier crash is passed over);
// INVALID_HANDLE_VALUE when none can be made.
HANDLE createTemporary(const std::string& path, std::string& tempPath) {
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    tempPath = path + "." + std::to_string(GetCurrentProcessId()) + "-" +
               std::to_string(attempt) + ".tmp";
    HANDLE file = CreateFileA(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
      return file;
    }
  }
  return INVALID_HANDLE_VALUE;
}

bool writeAll(HANDLE file, const std::string& content) {
  std::size_t done = 0;
  while (done < content.size()) {
    DWORD chunk = static_cast<DWORD>(std::min(content.size() - done, kChunk));
    DWORD written = 0;
    if (!WriteFile(file, content.data() + done, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

std::string failure(const char* what) {
  return std::string(what) + " (Windows error " + std::to_string(GetLastError()) + ").";
}

}  // namespace

bool ServerSettings::readFile(const std::string& path, std::string& content,
                              std::string& problem) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    problem = failure("It cannot be opened");
    return false;
  }
  bool ok = GetFileType(file) == FILE_TYPE_DISK;
  if (!ok) problem = "It is not a regular file.";
  char buffer[8192];
  DWORD got = 0;
  while (ok && (ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr)) && got > 0) {
    content.append(buffer, got);
  }
  if (!ok && problem.empty()) problem = failure("It cannot be read");
  CloseHandle(file);
  return ok;
}

// Links are read through but never written through here: whom they belong to is not checked
// on Windows. A read-only file is the administrator's "leave it alone".
bool ServerSettings::writeTarget(const std::string& path, bool create, std::string& target) {
  target = path;
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    return create && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND);
  }
  return (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY |
                        FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

bool ServerSettings::replaceFile(const std::string& path, const std::string& content) {
  std::string tempPath;
  HANDLE file = createTemporary(path, tempPath);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  bool ok = writeAll(file, content) && FlushFileBuffers(file);
  ok = CloseHandle(file) && ok;
  // The move replaces the old file in one step.
  ok = ok && MoveFileExA(tempPath.c_str(), path.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) {
    DeleteFileA(tempPath.c_str());
  }
  return ok;
}

}  // namespace quorvane
