#include "CliProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <regex>
#include <thread>

extern char** environ;

namespace quorvane::test {

namespace {

using Clock = std::chrono::steady_clock;

// The status of a child that ended by a signal.
constexpr int kKilled = 256;

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

CliProcess::CliProcess(const std::vector<std::string>& arguments) {
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) closeFd(fd);
    return;
  }
  std::vector<std::string> words{QUORVANE_CLI_PROGRAM};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  input_ = in[1];
  outputPipe_ = out[0];
  errorPipe_ = err[0];
}

CliProcess::~CliProcess() {
  if (pid_ > 0 && status_ == -1) wait(std::chrono::milliseconds(0));
  closeFd(input_);
  closeFd(outputPipe_);
  closeFd(errorPipe_);
}

bool CliProcess::write(std::string_view text) {
  while (!text.empty() && input_ >= 0) {
    const ssize_t n = ::write(input_, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return text.empty();
}

void CliProcess::closeInput() { closeFd(input_); }

bool CliProcess::pump(std::chrono::milliseconds timeout) {
  if (outputPipe_ < 0 && errorPipe_ < 0) return false;
  pollfd fds[2] = {{outputPipe_, POLLIN, 0}, {errorPipe_, POLLIN, 0}};
  if (::poll(fds, 2, static_cast<int>(timeout.count())) <= 0) return true;
  int* pipes[2] = {&outputPipe_, &errorPipe_};
  std::string* texts[2] = {&output_, &errors_};
  for (int i = 0; i < 2; ++i) {
    if (fds[i].revents == 0) continue;
    char chunk[4096];
    const ssize_t n = ::read(*pipes[i], chunk, sizeof chunk);
    if (n > 0) {
      texts[i]->append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      closeFd(*pipes[i]);
    }
  }
  return true;
}

std::optional<std::string> CliProcess::awaitLine(const std::string& pattern,
                                                 std::chrono::milliseconds timeout) {
  const std::regex expression(pattern);
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    for (std::size_t end = output_.find('\n', scanned_); end != std::string::npos;
         end = output_.find('\n', scanned_)) {
      std::string line = output_.substr(scanned_, end - scanned_);
      scanned_ = end + 1;
      if (std::regex_search(line, expression)) return line;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || outputPipe_ < 0) return std::nullopt;
    pump(left);
  }
}

int CliProcess::wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  const Clock::time_point deadline = Clock::now() + timeout;
  // The child may block writing to a full pipe: keep reading until it ends.
  while (status_ == -1) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : kKilled;
    } else if (Clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      status_ = kKilled;
    } else if (!pump(std::chrono::milliseconds(20))) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  // What the child wrote last may still be in the pipes.
  const Clock::time_point drained = Clock::now() + kPatience;
  while ((outputPipe_ >= 0 || errorPipe_ >= 0) && Clock::now() < drained) {
    pump(std::chrono::milliseconds(100));
  }
  return status_ == kKilled ? -1 : status_;
}

}  // namespace quorvane::test
