#include "service/ServerSettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace quorvane {
namespace {

constexpr int kCreateAttempts = 100;

// Creates a fresh file beside `path` (a leftover of an earlier crash is passed over); -1 when
// none can be made. New files get 0644, narrowed by the umask.
int createTemporary(const std::string& path, std::string& tempPath) {
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    tempPath = path + "." + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".tmp";
    int fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) {
      return fd;
    }
  }
  return -1;
}

bool writeAll(int fd, const std::string& content) {
  std::size_t done = 0;
  while (done < content.size()) {
    ssize_t written = write(fd, content.data() + done, content.size() - done);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(written);
  }
  return true;
}

// Gives the new file the permission bits, and where allowed the owner, of the file it replaces,
// so a write-back by another account (root running -d) leaves it usable by the service's account.
bool keepMode(int fd, const std::string& path) {
  struct stat old;
  if (stat(path.c_str(), &old) != 0) return true;
  [[maybe_unused]] int owned = fchown(fd, old.st_uid, old.st_gid);
  return fchmod(fd, old.st_mode & 07777) == 0;
}

// Makes the rename itself durable.
void syncDirectory(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

bool ServerSettings::replaceFile(const std::string& path, const std::string& content) {
  std::string tempPath;
  int fd = createTemporary(path, tempPath);
  if (fd < 0) {
    return false;
  }
  bool ok = writeAll(fd, content) && keepMode(fd, path) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  // rename replaces the old file in one step: readers see the old or the new file, never a part.
  ok = ok && std::rename(tempPath.c_str(), path.c_str()) == 0;
  if (!ok) {
    unlink(tempPath.c_str());
  } else {
    syncDirectory(path);
  }
  return ok;
}

}  // namespace quorvane
