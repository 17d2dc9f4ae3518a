#include "service/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace quorvane {

namespace {

constexpr int kCreateAttempts = 100;

std::string errorText(int error) { return std::system_category().message(error); }

// Creates a fresh file beside `path` (a leftover of an earlier crash, or a link put there, is
// passed over); -1 when none can be made.
int createTemporary(const std::string& path, std::string& temporary) {
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    temporary = path + "." + std::to_string(::getpid()) + "-" + std::to_string(attempt) + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool writeAll(int fd, const std::string& content) {
  std::size_t done = 0;
  while (done < content.size()) {
    ssize_t written = ::write(fd, content.data() + done, content.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

// Gives the new file the permission bits, and where allowed the owner, of the file it replaces,
// so a write-back by another account (root running -d) leaves it usable by the service's account.
bool keepMode(int fd, const std::string& path) {
  struct stat old;
  if (::lstat(path.c_str(), &old) != 0) return true;
  [[maybe_unused]] int owned = ::fchown(fd, old.st_uid, old.st_gid);
  return ::fchmod(fd, old.st_mode & 07777) == 0;
}

// Makes the rename itself durable.
void syncDirectory(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

bool writeFileAtomically(const std::string& path, const std::string& content,
                         std::string& reason) {
  std::string temporary;
  int fd = createTemporary(path, temporary);
  if (fd < 0) {
    reason = "cannot write " + temporary + ": " + errorText(errno);
    return false;
  }
  bool written = writeAll(fd, content) && keepMode(fd, path) && ::fsync(fd) == 0;
  int error = written ? 0 : errno;
  if (::close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written && std::rename(temporary.c_str(), path.c_str()) == 0) {
    syncDirectory(path);
    return true;
  }
  if (written) error = errno;
  reason = "cannot write " + (written ? path : temporary) + ": " + errorText(error);
  ::unlink(temporary.c_str());
  return false;
}

}  // namespace quorvane
