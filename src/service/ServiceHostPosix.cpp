// The service host on Linux: systemd plays the service control manager (a Type=notify unit that
// the management actions drive through systemctl), syslog plays the event log, and SIGINT and
// SIGTERM play the console control events. SIGHUP reopens the log in every run: a background
// run has no terminal to hang up, and a rotated log needs it.
#include "service/ServiceHost.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "service/SystemdUnit.h"

namespace quorvane {

namespace {

constexpr int kEndSignal = SIGUSR2;
// Added to a wait hint before it goes to systemd as a time-out extension.
constexpr unsigned long long kTimeoutMarginUsec = 5000000;
constexpr unsigned kStatusWaitHint = 3000;

// Waits for signals on a thread of its own. The signals are blocked in the constructing thread
// before the thread starts, so every thread started later inherits the block and only this thread
// sees them. The destructor ends the thread and restores the block as it was.
class SignalWatcher {
 public:
  SignalWatcher(std::initializer_list<int> signals, std::function<void(int)> onSignal)
      : onSignal_(std::move(onSignal)) {
    sigemptyset(&waited_);
    for (int signo : signals) sigaddset(&waited_, signo);
    sigaddset(&waited_, kEndSignal);
    pthread_sigmask(SIG_BLOCK, &waited_, &previous_);
    thread_ = std::thread([this] { watch(); });
  }
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;
  ~SignalWatcher() {
    pthread_kill(thread_.native_handle(), kEndSignal);
    thread_.join();
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }

  // Only waited signals: any other would take its default action on the whole process.
  bool deliver(int signo) {
    if (signo == kEndSignal || sigismember(&waited_, signo) != 1) return false;
    return pthread_kill(thread_.native_handle(), signo) == 0;
  }

 private:
  void watch() {
    for (;;) {
      int signo = 0;
      if (sigwait(&waited_, &signo) != 0) continue;
      if (signo == kEndSignal) return;
      onSignal_(signo);
    }
  }

  sigset_t waited_;
  sigset_t previous_;
  std::function<void(int)> onSignal_;
  std::thread thread_;
};

// Sends one message of the systemd notification protocol: a datagram to the AF_UNIX socket named
// by NOTIFY_SOCKET, where a leading '@' stands for the abstract namespace.
bool sendNotification(const std::string& address, const std::string& message) {
  sockaddr_un target{};
  target.sun_family = AF_UNIX;
  if (address.size() < 2 || address.size() >= sizeof target.sun_path) return false;
  if (address[0] != '/' && address[0] != '@') return false;
  std::memcpy(target.sun_path, address.data(), address.size());
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
  if (address[0] == '@') {
    target.sun_path[0] = '\0';  // an abstract name is counted without a terminating NUL
  } else {
    ++length;
  }
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ssize_t sent = ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr*>(&target), length);
  ::close(fd);
  return sent == static_cast<ssize_t>(message.size());
}

std::string notification(unsigned state, unsigned waitHint, unsigned exitCode) {
  switch (state) {
    case ServiceHost::StartPending:
      return "STATUS=Starting...\nEXTEND_TIMEOUT_USEC=" +
             std::to_string(waitHint * 1000ULL + kTimeoutMarginUsec);
    case ServiceHost::Running:
      return "READY=1\nSTATUS=Running";
    case ServiceHost::StopPending:
      return "STOPPING=1";
    case ServiceHost::Stopped:
      return exitCode == 0 ? "STATUS=Stopped" : "STATUS=Failed to start";
    default:
      return std::string();
  }
}

// SIGHUP calls onHangup; every other signal waited for stops the run.
std::function<void(int)> stopOrHangUp(ServiceHost& host) {
  return [&host](int signo) {
    if (signo == SIGHUP) {
      host.onHangup();
    } else {
      host.stop();
    }
  };
}

// The background process leaves the terminal's session and lets go of every descriptor it
// inherited, so that nobody waits on a pipe it keeps open.
void detachFromTerminal() {
  ::setsid();
  if (::close_range(STDERR_FILENO + 1, ~0U, 0) != 0) {
    for (long fd = STDERR_FILENO + 1; fd < std::min(::sysconf(_SC_OPEN_MAX), 65536L); ++fd) {
      ::close(static_cast<int>(fd));
    }
  }
  int null = ::open("/dev/null", O_RDWR);
  if (null < 0) return;
  ::dup2(null, STDIN_FILENO);
  ::dup2(null, STDOUT_FILENO);
  ::dup2(null, STDERR_FILENO);
  if (null > STDERR_FILENO) ::close(null);
}

}  // namespace

struct ServiceHost::Platform {
  explicit Platform(const std::string& serviceName) : unit(serviceName) {}

  // Runs `body` while a signal watcher calls `onSignal`, published for deliverSignal.
  static void runWatched(ServiceHost& host, std::initializer_list<int> signals,
                         std::function<void(int)> onSignal, const std::function<void()>& body);
  void publish(SignalWatcher* running) {
    std::lock_guard<std::mutex> guard(lock);
    watcher = running;
  }

  std::mutex lock;  // guards watcher
  SignalWatcher* watcher = nullptr;
  std::string notifyAddress;  // written before the watcher starts, then only read
  SystemdUnit unit;           // as the tests set it up; each action works on a copy
};

ServiceHost::ServiceHost(std::string serviceName, std::string displayName)
    : serviceName_(std::move(serviceName)),
      displayName_(displayName.empty() ? serviceName_ : std::move(displayName)),
      platform_(std::make_unique<Platform>(serviceName_)) {
  current_ = this;
}

ServiceHost::~ServiceHost() {
  ServiceHost* self = this;
  current_.compare_exchange_strong(self, nullptr);
}

void ServiceHost::Platform::runWatched(ServiceHost& host, std::initializer_list<int> signals,
                                       std::function<void(int)> onSignal,
                                       const std::function<void()>& body) {
  SignalWatcher watcher(signals, std::move(onSignal));
  host.platform_->publish(&watcher);
  body();
  host.platform_->publish(nullptr);
}

int ServiceHost::consoleRun(int argc, char** argv, bool hidden) {
  if (hidden) {
    std::fflush(nullptr);  // nothing buffered may be written twice
    pid_t child = ::fork();
    if (child < 0) {
      std::string error = systemErrorText();
      std::fprintf(stderr, "Unable to start %s in the background - %s\n", displayName_.c_str(),
                   error.c_str());
      return 0;
    }
    if (child > 0) return 1;
    detachFromTerminal();
    Platform::runWatched(*this, {SIGTERM, SIGINT, SIGHUP}, stopOrHangUp(*this),
                         [&] { run(argc, argv); });
    return runExitCode();
  }
  attachConsole();
  std::printf("Debugging %s.\n", displayName_.c_str());
  std::fflush(stdout);
  auto onSignal = [this](int signo) {
    if (signo == SIGHUP) {
      onHangup();
      return;
    }
    std::printf("Stopping %s.\n", displayName_.c_str());
    std::fflush(stdout);
    stop();
  };
  Platform::runWatched(*this, {SIGINT, SIGTERM, SIGHUP}, onSignal, [&] { run(argc, argv); });
  return runExitCode();
}

// A Type=notify unit hands the process the address of its notification socket; SIGTERM is the
// stop control, and logrotate's SIGHUP (systemctl kill -s HUP) reopens the log. A run that could
// not start never reports READY and ends with kStartFailedExitCode, so the unit fails.
int ServiceHost::startDispatcher() {
  const char* address = std::getenv("NOTIFY_SOCKET");
  if (address == nullptr || *address == '\0') {
    const std::string reason =
        "not started by systemd (NOTIFY_SOCKET is not set); use -d to run in the console, -f to "
        "run in the background, or -i to install the service";
    reportEvent(reason, ErrorEvent);
    std::fprintf(stderr, "%s: %s\n", displayName_.c_str(), reason.c_str());
    return 0;
  }
  platform_->notifyAddress = address;
  std::string name = serviceName_;
  char* serviceArgv[] = {name.data(), nullptr};
  Platform::runWatched(*this, {SIGTERM, SIGINT, SIGHUP}, stopOrHangUp(*this), [&] {
    if (reportStatus(StartPending, kStatusWaitHint, 0)) run(1, serviceArgv);
    reportStatus(Stopped, kStatusWaitHint, startFailed() ? kStartFailedExitCode : 0);
  });
  return runExitCode();
}

bool ServiceHost::sendStatus(unsigned state, unsigned waitHint, unsigned exitCode,
                             [[maybe_unused]] unsigned checkpoint) {
  if (platform_->notifyAddress.empty()) return false;
  std::string message = notification(state, waitHint, exitCode);
  return message.empty() || sendNotification(platform_->notifyAddress, message);
}

// Event ids have no place in syslog; the type chooses the priority. Entries are tagged with the
// service name with its blanks made hyphens, since syslog tags end at a blank.
void ServiceHost::reportEvent(const std::string& text, unsigned type) {
  static std::mutex syslogLock;  // the identity of openlog is process-wide
  int priority = type == ErrorEvent ? LOG_ERR : type == WarningEvent ? LOG_WARNING : LOG_INFO;
  std::string tag = serviceName_;
  std::replace(tag.begin(), tag.end(), ' ', '-');
  std::lock_guard<std::mutex> guard(syslogLock);
  ::openlog(tag.c_str(), LOG_PID, LOG_DAEMON);
  ::syslog(priority, "%s", text.c_str());
  ::closelog();
}

// syslog needs no registration of its sources.
void ServiceHost::installEventSource(const std::string&, unsigned) {}

void ServiceHost::removeEventSource() {}

// A POSIX process writes to the terminal it was started from.
void ServiceHost::attachConsole() {}

std::string ServiceHost::systemErrorText() { return std::system_category().message(errno); }

std::string ServiceHost::programPath() {
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return std::string();
    if (static_cast<std::size_t>(length) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(length));
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string ServiceHost::programDirectory() {
  std::string path = programPath();
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

void ServiceHost::setSystemctlPath(std::string path) {
  platform_->unit.setSystemctlPath(std::move(path));
}

void ServiceHost::setUnitDirectory(std::string directory) {
  platform_->unit.setDirectory(std::move(directory));
}

void ServiceHost::setPollInterval(std::chrono::milliseconds interval) {
  platform_->unit.setPollInterval(interval);
}

std::unique_ptr<ServiceManager> ServiceHost::serviceManager() {
  return std::make_unique<SystemdUnit>(platform_->unit);
}

bool ServiceHost::deliverSignal(int signo) {
  std::lock_guard<std::mutex> guard(platform_->lock);
  return platform_->watcher != nullptr && platform_->watcher->deliver(signo);
}

}  // namespace quorvane
