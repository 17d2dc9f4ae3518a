#include "service/SystemdUnit.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>
#include <vector>

#include "service/AsciiCase.h"
#include "service/AtomicFile.h"
#include "service/ServiceHost.h"

namespace quorvane {

namespace {

constexpr const char* kSystemctlCandidates[] = {"/usr/bin/systemctl", "/bin/systemctl"};
constexpr const char* kOpenFilesLimit = "65536";

struct CommandResult {
  bool ran = false;    // the program was started
  int exitCode = -1;   // its exit status; -1 when it died of a signal
  std::string output;  // standard output and standard error together
  std::string error;   // why it could not be started
  std::vector<std::string> arguments;

  bool succeeded() const { return ran && exitCode == 0; }
};

std::string errorText(int error) { return std::system_category().message(error); }

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void execChild(char* const* argv, int input, int output, int failure) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (input >= 0) ::dup2(input, STDIN_FILENO);
  ::dup2(output, STDOUT_FILENO);
  ::dup2(output, STDERR_FILENO);
  ::execv(argv[0], argv);
  int error = errno;
  [[maybe_unused]] ssize_t written = ::write(failure, &error, sizeof error);
  ::_exit(127);
}

std::string readAll(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
      text.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      return text;
    }
  }
}

int waitForExit(pid_t child) {
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// '%' starts a specifier in every unit setting.
std::string escapeSpecifiers(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    escaped += c;
    if (c == '%') escaped += '%';
  }
  return escaped;
}

// ExecStart= splits at blanks, expands '$' and reads quotes and backslashes: a path holding any
// of them is quoted.
std::string commandLineWord(const std::string& path) {
  std::string word;
  for (char c : escapeSpecifiers(path)) {
    word += c;
    if (c == '$') word += '$';
  }
  if (word.find_first_of(" \t\"'\\;") == std::string::npos) return word;
  std::string quoted = "\"";
  for (char c : word) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

bool hasControlCharacter(const std::string& text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return true;
  }
  return false;
}

// Runs arguments[0] (an absolute path) with the others, standard input from /dev/null, and
// collects what it writes. The caller's signal block is not inherited.
CommandResult runProgram(const std::vector<std::string>& arguments) {
  CommandResult result;
  result.arguments = arguments;
  std::vector<std::string> words = arguments;
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  int output[2];
  int failure[2];
  if (::pipe2(output, O_CLOEXEC) != 0) {
    result.error = "cannot run " + arguments[0] + ": " + errorText(errno);
    return result;
  }
  if (::pipe2(failure, O_CLOEXEC) != 0) {
    result.error = "cannot run " + arguments[0] + ": " + errorText(errno);
    ::close(output[0]);
    ::close(output[1]);
    return result;
  }
  int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_t child = ::fork();
  if (child == 0) execChild(argv.data(), input, output[1], failure[1]);
  int forkError = errno;
  ::close(output[1]);
  ::close(failure[1]);
  if (input >= 0) ::close(input);

  if (child > 0) result.output = readAll(output[0]);
  int execError = 0;
  bool execFailed = child > 0 && ::read(failure[0], &execError, sizeof execError) ==
                                     static_cast<ssize_t>(sizeof execError);
  ::close(output[0]);
  ::close(failure[0]);
  if (child < 0) {
    result.error = "cannot run " + arguments[0] + ": " + errorText(forkError);
    return result;
  }
  result.exitCode = waitForExit(child);
  if (execFailed) {
    result.error = "cannot run " + arguments[0] + ": " + errorText(execError);
    result.exitCode = -1;
    return result;
  }
  result.ran = true;
  return result;
}

// The last non-empty line of `text`, without surrounding blanks.
std::string lastLine(const std::string& text) {
  const char* blanks = " \t\r\n";
  std::size_t end = text.find_last_not_of(blanks);
  if (end == std::string::npos) return std::string();
  std::size_t start = text.find_last_of('\n', end);
  start = start == std::string::npos ? 0 : start + 1;
  start = text.find_first_not_of(blanks, start);
  return text.substr(start, end + 1 - start);
}

// Why a command failed, in one line: its own words, or its exit status when it said nothing.
std::string failureText(const CommandResult& result) {
  if (!result.ran) return result.error;
  std::string text;
  std::size_t start = 0;
  while (start < result.output.size()) {
    std::size_t end = result.output.find('\n', start);
    if (end == std::string::npos) end = result.output.size();
    std::string line = lastLine(result.output.substr(start, end - start));
    if (!line.empty()) text += (text.empty() ? "" : " ") + line;
    start = end + 1;
  }
  if (!text.empty()) return text;
  std::string command;
  for (const std::string& word : result.arguments) command += (command.empty() ? "" : " ") + word;
  return command + " exited with status " + std::to_string(result.exitCode);
}

// False, with the reason, when a value would break the unit's syntax.
bool unitFileText(const std::string& description, const std::string& program,
                  const std::vector<std::string>& arguments,
                  const std::optional<std::string>& account, std::string& text,
                  std::string& reason) {
  // A line break in a value would start a setting of its own.
  if (hasControlCharacter(program)) {
    reason = "the program path holds a control character";
    return false;
  }
  std::string command = commandLineWord(program);
  for (const std::string& argument : arguments) {
    if (hasControlCharacter(argument)) {
      reason = "an argument of the program holds a control character";
      return false;
    }
    command += " " + commandLineWord(argument);
  }
  if (account && hasControlCharacter(*account)) {
    reason = "the account name holds a control character";
    return false;
  }
  std::string directory = program.substr(0, program.rfind('/'));
  if (directory.empty()) directory = "/";
  text = "[Unit]\n"
         "Description=" + escapeSpecifiers(description) + "\n"
         "After=network.target\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" + command + "\n"
         "WorkingDirectory=" + escapeSpecifiers(directory) + "\n";
  if (account) text += "User=" + escapeSpecifiers(*account) + "\n";
  // The program ends with exit code 1 after a normal stop, and with 2 when it cannot start (its
  // ports are taken, say), which a restart would not mend.
  text += "SuccessExitStatus=1\n"
          "Restart=on-failure\n"
          "RestartPreventExitStatus=" + std::to_string(ServiceHost::kStartFailedExitCode) + "\n"
          "LimitNOFILE=" + std::string(kOpenFilesLimit) + "\n"
          "\n"
          "[Install]\n"
          "WantedBy=multi-user.target\n";
  return true;
}

CommandResult runSystemctl(const std::string& program, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), program);
  return runProgram(arguments);
}

bool isRunningState(const std::string& state) {
  return state == "active" || state == "activating" || state == "reloading";
}

}  // namespace

SystemdUnit::SystemdUnit(const std::string& serviceName) {
  for (char c : lowerAscii(serviceName)) {
    name_ += (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ? c : '-';
  }
  name_ += ".service";
}

std::string SystemdUnit::systemctlPath() const {
  if (!systemctl_.empty()) return systemctl_;
  for (const char* candidate : kSystemctlCandidates) {
    if (::access(candidate, X_OK) == 0) return candidate;
  }
  return kSystemctlCandidates[0];
}

void SystemdUnit::pause() { std::this_thread::sleep_for(pollInterval_); }

bool SystemdUnit::connect(std::string& reason) {
  CommandResult result = runSystemctl(systemctlPath(), {"is-system-running"});
  if (!result.ran) {
    reason = result.error;
    return false;
  }
  std::string state = lastLine(result.output);
  for (const char* usable :
       {"initializing", "starting", "running", "degraded", "maintenance", "stopping"}) {
    if (state == usable) return true;
  }
  reason = "systemd is not running (systemctl is-system-running: " +
           (state.empty() ? std::string("no answer") : state) + ")";
  return false;
}

bool SystemdUnit::find(std::string& reason) {
  struct stat status;
  if (::lstat(path().c_str(), &status) == 0) return true;
  if (errno == ENOENT) {
    reason = "unit file " + path() + " does not exist";
  } else {
    reason = "cannot examine " + path() + ": " + errorText(errno);
  }
  return false;
}

bool SystemdUnit::create(const std::string& description, const std::string& program,
                         const std::vector<std::string>& arguments,
                         const std::optional<std::string>& account,
                         const std::optional<std::string>&, std::string& reason) {
  struct stat status;
  if (::lstat(path().c_str(), &status) == 0 || errno != ENOENT) {
    reason = "unit file " + path() + " already exists";
    return false;
  }
  std::string text;
  if (!unitFileText(description, program, arguments, account, text, reason)) return false;
  if (!writeFileAtomically(path(), text, reason)) return false;
  CommandResult result = runSystemctl(systemctlPath(), {"daemon-reload"});
  if (result.succeeded()) result = runSystemctl(systemctlPath(), {"enable", name_});
  if (result.succeeded()) return true;
  reason = failureText(result);
  ::unlink(path().c_str());
  runSystemctl(systemctlPath(), {"daemon-reload"});
  return false;
}

bool SystemdUnit::remove(std::string& reason) {
  CommandResult result = runSystemctl(systemctlPath(), {"disable", name_});
  if (!result.succeeded()) {
    reason = failureText(result);
    return false;
  }
  if (::unlink(path().c_str()) != 0) {
    reason = "cannot remove " + path() + ": " + errorText(errno);
    return false;
  }
  // The unit is disabled and its file gone; a failed reload only delays systemd noticing it.
  runSystemctl(systemctlPath(), {"daemon-reload"});
  return true;
}

bool SystemdUnit::requestStart(std::string& reason) {
  if (isRunningState(activeState())) {
    reason = "the service is already running";
    return false;
  }
  CommandResult result = runSystemctl(systemctlPath(), {"start", "--no-block", name_});
  if (result.succeeded()) return true;
  reason = failureText(result);
  return false;
}

bool SystemdUnit::requestStop() {
  std::string state = activeState();
  if (!isRunningState(state) && state != "deactivating") return false;
  return runSystemctl(systemctlPath(), {"stop", "--no-block", name_}).succeeded();
}

std::string SystemdUnit::activeState() const {
  CommandResult result = runSystemctl(systemctlPath(), {"is-active", name_});
  return result.ran ? lastLine(result.output) : std::string();
}

unsigned SystemdUnit::state() {
  const std::string state = activeState();
  if (state == "active") return ServiceHost::Running;
  if (state == "activating") return ServiceHost::StartPending;
  if (state == "deactivating") return ServiceHost::StopPending;
  if (state == "inactive" || state == "failed") return ServiceHost::Stopped;
  return 0;
}

std::string SystemdUnit::unusedPasswordNote() const {
  return "-p is ignored on Linux: the service runs as the account given with -l";
}

}  // namespace quorvane
