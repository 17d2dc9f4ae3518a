// The command line, the status rules and the management actions, shared by every platform.
#include "service/ServiceHost.h"

#include <cstdio>

#include "service/ServerLog.h"
#include "service/ServiceManager.h"

namespace quorvane {

namespace {

constexpr unsigned kAllEventTypes =
    ServiceHost::ErrorEvent | ServiceHost::WarningEvent | ServiceHost::InformationEvent;

// The value of -l or -p: the rest of the argument when something follows the letter, else the
// next argument, which is consumed. Nothing when the switch ends the list.
std::optional<std::string> switchValue(int argc, char** argv, int& index) {
  const char* rest = argv[index] + 2;
  if (*rest != '\0') return std::string(rest);
  if (index + 1 < argc) return std::string(argv[++index]);
  return std::nullopt;
}

void printDot() {
  std::printf(".");
  std::fflush(stdout);
}

// Reaches the manager and finds the service, printing why when either fails.
bool findService(ServiceManager& manager) {
  std::string reason;
  if (!manager.connect(reason)) {
    std::printf("OpenSCManager failed - %s\n", reason.c_str());
    return false;
  }
  if (manager.find(reason)) return true;
  std::printf("OpenService failed - %s\n", reason.c_str());
  return false;
}

// Waits one pause, then one more for every query that still finds the service `pending`,
// printing a dot for each. The last state found.
unsigned waitWhile(ServiceManager& manager, unsigned pending) {
  manager.pause();
  unsigned state = manager.state();
  while (state == pending) {
    printDot();
    manager.pause();
    state = manager.state();
  }
  return state;
}

// Stops a running service, printing its progress; true when it ended stopped. A service that
// does not run is not asked, and nothing is printed.
bool stopService(ServiceManager& manager, const std::string& displayName) {
  if (!manager.requestStop()) return false;
  std::printf("Stopping %s.", displayName.c_str());
  std::fflush(stdout);
  if (waitWhile(manager, ServiceHost::StopPending) == ServiceHost::Stopped) {
    std::printf("\n%s stopped.\n", displayName.c_str());
    return true;
  }
  std::printf("\n%s failed to stop.\n", displayName.c_str());
  return false;
}

}  // namespace

std::atomic<ServiceHost*> ServiceHost::current_{nullptr};

ServiceHost* ServiceHost::current() { return current_; }

int ServiceHost::processCommandLine(int argc, char** argv) {
  int (ServiceHost::*action)() = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument[0] != '-') continue;
    // Only the letter after the dash counts: -install acts as -i.
    switch (argument[1]) {
      case 'd':
        setConsoleMode(true);
        return consoleRun(argc, argv, false);
      case 'f':
        setConsoleMode(true);
        return consoleRun(argc, argv, true);
      case 'i':
        action = &ServiceHost::install;
        break;
      case 'u':
        action = &ServiceHost::uninstall;
        break;
      case 's':
        action = &ServiceHost::startInstalled;
        break;
      case 'e':
        action = &ServiceHost::stopInstalled;
        break;
      case 'l':
        accountName_ = switchValue(argc, argv, i);
        break;
      case 'p':
        accountPassword_ = switchValue(argc, argv, i);
        break;
      default:
        break;
    }
  }
  // Without an action the service manager is expected to have started the process.
  if (action == nullptr) return startDispatcher();
  return (this->*action)();
}

// The manager is let go of before the event source is registered.
int ServiceHost::install() {
  attachConsole();
  std::string program = programPath();
  if (program.empty()) {
    std::string error = systemErrorText();
    std::printf("Unable to install %s - %s\n", displayName_.c_str(), error.c_str());
    return 0;
  }
  std::unique_ptr<ServiceManager> manager = serviceManager();
  std::string note = manager->unusedPasswordNote();
  if (accountPassword_ && !note.empty()) std::fprintf(stderr, "%s\n", note.c_str());
  std::string reason;
  if (!manager->connect(reason)) {
    std::printf("OpenSCManager failed - %s\n", reason.c_str());
    return 0;
  }
  if (!manager->create(displayName_, program, accountName_, accountPassword_, reason)) {
    std::printf("CreateService failed - %s\n", reason.c_str());
    return 0;
  }
  std::printf("%s installed.\n", displayName_.c_str());
  manager.reset();
  installEventSource(program, kAllEventTypes);
  reportEvent("Service installed", InformationEvent);
  return 1;
}

// A running service is stopped first; it is removed whether or not it stopped.
int ServiceHost::uninstall() {
  attachConsole();
  std::unique_ptr<ServiceManager> manager = serviceManager();
  if (!findService(*manager)) return 0;
  stopService(*manager, displayName_);
  std::string reason;
  if (!manager->remove(reason)) {
    std::printf("DeleteService failed - %s\n", reason.c_str());
    return 0;
  }
  std::printf("%s removed.\n", displayName_.c_str());
  manager.reset();
  removeEventSource();
  return 1;
}

int ServiceHost::stopInstalled() {
  std::unique_ptr<ServiceManager> manager = serviceManager();
  if (!findService(*manager)) return 0;
  return stopService(*manager, displayName_) ? 1 : 0;
}

int ServiceHost::startInstalled() {
  std::unique_ptr<ServiceManager> manager = serviceManager();
  if (!findService(*manager)) return 0;
  std::printf("Starting up %s.", displayName_.c_str());
  std::fflush(stdout);
  std::string reason;
  if (!manager->requestStart(reason)) {
    std::printf("\n%s failed to start: %s\n", displayName_.c_str(), reason.c_str());
    return 0;
  }
  if (waitWhile(*manager, StartPending) == Running) {
    std::printf("\n%s started.\n", displayName_.c_str());
    return 1;
  }
  std::printf("\n%s failed to start.\n", displayName_.c_str());
  return 0;
}

void ServiceHost::onHangup() {
  if (ServerLog* log = ServerLog::created()) log->reopen();
}

bool ServiceHost::reportStatus(unsigned state, unsigned waitHint, unsigned exitCode) {
  if (consoleMode_) return true;
  unsigned checkpoint = (state == Running || state == Stopped) ? 0 : ++checkpoint_;
  if (sendStatus(state, waitHint, exitCode, checkpoint)) return true;
  reportEvent("SetServiceStatus() failed", ErrorEvent);
  return false;
}

}  // namespace quorvane
