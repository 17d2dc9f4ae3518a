#include "ToolProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <regex>

extern char** environ;

namespace quorvane::test {

// The status of a child that ended by a signal, or was killed.
constexpr int kKilled = 256;

ToolProcess::ToolProcess(const std::string& program, const std::vector<std::string>& arguments)
    : directory_(makeTempDirectory("tool")) {
  int in[2] = {-1, -1};
  if (::pipe2(in, O_CLOEXEC) != 0) return;
  std::vector<std::string> words{program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const std::string out = (directory_ / "out").string(), err = (directory_ / "err").string();
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  input_ = in[1];
}

ToolProcess::~ToolProcess() {
  if (started()) wait(std::chrono::milliseconds(0));
  closeInput();
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

bool ToolProcess::write(std::string_view text) {
  while (!text.empty() && input_ >= 0) {
    const ssize_t n = ::write(input_, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return text.empty();
}

void ToolProcess::closeInput() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

std::optional<std::string> ToolProcess::awaitLine(const std::string& pattern,
                                                  std::chrono::milliseconds timeout) {
  const std::regex expression(pattern);
  std::optional<std::string> found;
  waitFor(
      [&] {
        const bool over = ended();  // before reading: an ended child has written everything
        const std::string text = output();
        for (std::size_t end = 0; !found && (end = text.find('\n', scanned_)) != std::string::npos;
             scanned_ = end + 1) {
          const std::string line = text.substr(scanned_, end - scanned_);
          if (std::regex_search(line, expression)) found = line;
        }
        return found || over;
      },
      timeout);
  return found;
}

bool ToolProcess::ended() {
  int status = 0;
  if (status_ == -1 && started() && ::waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : kKilled;
  }
  return status_ != -1 || !started();
}

int ToolProcess::wait(std::chrono::milliseconds timeout) {
  if (!started()) return -1;
  if (!waitFor([this] { return ended(); }, timeout)) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    status_ = kKilled;
  }
  return status_ == kKilled ? -1 : status_;
}

}  // namespace quorvane::test
