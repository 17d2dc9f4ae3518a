#include "service/ServerSettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace quorvane {
namespace {

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

}  // namespace quorvane
