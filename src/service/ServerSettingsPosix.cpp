#include "service/ServerSettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace quorvane {
namespace {

constexpr int kCreateAttempts = 100;
constexpr int kMostLinks = 40;

// Where `path` leads: links are followed as long as root or this account owns them, since the
// program may run as root in a directory that another account can write. `exists` tells whether
// a file (of any type) lies at the end; a missing file at the end of a link is refused.
bool resolve(const std::string& path, std::string& target, bool& exists, std::string& problem) {
  target = path;
  for (int links = 0;; ++links) {
    struct stat status;
    if (lstat(target.c_str(), &status) != 0) {
      exists = false;
      if (links == 0 && errno == ENOENT) return true;
      problem = errno == ENOENT ? "It is a link to a file that does not exist."
                                : std::string(std::strerror(errno)) + ".";
      return false;
    }
    if (!S_ISLNK(status.st_mode)) {
      exists = true;
      return true;
    }
    if (links == kMostLinks) {
      problem = "It leads through too many links.";
      return false;
    }
    if (status.st_uid != 0 && status.st_uid != geteuid()) {
      problem = "It is a link owned by an account other than root and the program's own; such "
                "a link is not followed.";
      return false;
    }
    char next[PATH_MAX];
    ssize_t length = readlink(target.c_str(), next, sizeof next);
    if (length <= 0 || length == static_cast<ssize_t>(sizeof next)) {
      problem = "Its link cannot be read.";
      return false;
    }
    std::string::size_type slash = target.rfind('/');
    std::string directory = next[0] == '/' || slash == std::string::npos
                                ? std::string()
                                : target.substr(0, slash + 1);
    target = directory + std::string(next, static_cast<std::size_t>(length));
  }
}

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
  if (lstat(path.c_str(), &old) != 0) return true;
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

bool ServerSettings::readFile(const std::string& path, std::string& content,
                              std::string& problem) {
  std::string target;
  bool exists = false;
  if (!resolve(path, target, exists, problem)) return false;
  // Non-blocking, so that a named pipe put in place of the file cannot stall the start.
  int fd = open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    problem = std::string(std::strerror(errno)) + ".";
    return false;
  }
  struct stat status;
  bool ok = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  if (!ok) problem = "It is not a regular file.";
  char buffer[8192];
  for (ssize_t got; ok && (got = read(fd, buffer, sizeof buffer)) != 0;) {
    if (got > 0) {
      content.append(buffer, static_cast<std::size_t>(got));
    } else if (errno != EINTR) {
      problem = std::string(std::strerror(errno)) + ".";
      ok = false;
    }
  }
  close(fd);
  return ok;
}

// A file without any write permission bit is the administrator's "leave it alone", which root
// would otherwise override; access() asks whether this account may write it at all.
bool ServerSettings::writeTarget(const std::string& path, bool create, std::string& target) {
  bool exists = false;
  std::string problem;
  if (!resolve(path, target, exists, problem)) return false;
  if (!exists) return create;
  struct stat status;
  return lstat(target.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
         (status.st_mode & 0222) != 0 &&
         faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) == 0;
}

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
