#include "service/AtomicFile.h"

#include <windows.h>

#include <algorithm>

namespace quorvane {

namespace {

constexpr int kCreateAttempts = 100;
constexpr std::size_t kChunk = 1 << 20;

// Creates a fresh file beside `path` (a leftover of an earlier crash is passed over);
// INVALID_HANDLE_VALUE when none can be made.
HANDLE createTemporary(const std::string& path, std::string& temporary) {
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    temporary = path + "." + std::to_string(::GetCurrentProcessId()) + "-" +
                std::to_string(attempt) + ".tmp";
    HANDLE file = ::CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_FILE_EXISTS) return file;
  }
  return INVALID_HANDLE_VALUE;
}

bool writeAll(HANDLE file, const std::string& content) {
  std::size_t done = 0;
  while (done < content.size()) {
    DWORD chunk = static_cast<DWORD>(std::min(content.size() - done, kChunk));
    DWORD written = 0;
    if (!::WriteFile(file, content.data() + done, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

std::string failure(const std::string& file) {
  return "cannot write " + file + " (Windows error " + std::to_string(::GetLastError()) + ")";
}

}  // namespace

bool writeFileAtomically(const std::string& path, const std::string& content,
                         std::string& reason) {
  std::string temporary;
  HANDLE file = createTemporary(path, temporary);
  if (file == INVALID_HANDLE_VALUE) {
    reason = failure(temporary);
    return false;
  }
  bool written = writeAll(file, content) && ::FlushFileBuffers(file);
  written = ::CloseHandle(file) && written;
  if (!written) reason = failure(temporary);
  // The move replaces the old file in one step.
  if (written && !::MoveFileExA(temporary.c_str(), path.c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    reason = failure(path);
    written = false;
  }
  if (!written) ::DeleteFileA(temporary.c_str());
  return written;
}

}  // namespace quorvane
