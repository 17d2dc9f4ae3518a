#include "service/ServerSettings.h"

#include <windows.h>

namespace quorvane {
namespace {

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

}  // namespace quorvane
