// The command line, the status rules and the management actions, shared by every platform.
#include "service/ServiceHost.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "service/AsciiCase.h"
#include "service/ServerLog.h"
#include "service/ServiceManager.h"

namespace quorvane {

namespace {

constexpr unsigned kAllEventTypes =
    ServiceHost::ErrorEvent | ServiceHost::WarningEvent | ServiceHost::InformationEvent;

// The value of -c, -l or -p: the rest of the argument when something follows the letter, else the
// next argument, which is consumed. Nothing when the switch ends the list.
std::optional<std::string> switchValue(int argc, char** argv, int& index) {
  const char* rest = argv[index] + 2;
  if (*rest != '\0') return std::string(rest);
  if (index + 1 < argc) return std::string(argv[++index]);
  return std::nullopt;
}

// The program's name as the usage shows it: argv[0] without its directory and without ".exe";
// `fallback` when there is none.
std::string programNameOf(const char* argument, const std::string& fallback) {
  std::string name = argument == nullptr ? std::string() : argument;
  std::size_t separator = name.find_last_of("/\\");
  if (separator != std::string::npos) name.erase(0, separator + 1);
  const std::string suffix = ".exe";
  if (name.size() > suffix.size() &&
      lowerAscii(name.substr(name.size() - suffix.size())) == suffix) {
    name.erase(name.size() - suffix.size());
  }
  return name.empty() ? fallback : name;
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
  programName_ = programNameOf(argc > 0 ? argv[0] : nullptr, serviceName_);
  int (ServiceHost::*action)() = nullptr;
  int (ServiceHost::*request)() = nullptr;  // -h or -v: answered before anything else
  char runMode = 0;                         // 'd' or 'f', whichever came first
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument[0] != '-') continue;
    // The two long forms count as whole words only; any other "--" word is ignored.
    if (std::strcmp(argument, "--help") == 0 && request == nullptr) {
      request = &ServiceHost::printUsage;
    } else if (std::strcmp(argument, "--version") == 0 && request == nullptr) {
      request = &ServiceHost::printVersion;
    }
    // Only the letter after the dash counts: -install acts as -i.
    switch (argument[1]) {
      case 'd':
      case 'f':
        if (runMode == 0) runMode = argument[1];
        break;
      case 'h':
      case '?':
        if (request == nullptr) request = &ServiceHost::printUsage;
        break;
      case 'v':
        if (request == nullptr) request = &ServiceHost::printVersion;
        break;
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
      case 'c':
        settingsDirectory_ = switchValue(argc, argv, i);
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
  if (request != nullptr) return (this->*request)();
  // A run in the console or the background wins over any action.
  if (runMode != 0) {
    setConsoleMode(true);
    return consoleRun(argc, argv, runMode == 'f');
  }
  // Without an action the service manager is expected to have started the process.
  if (action == nullptr) return startDispatcher();
  return (this->*action)();
}

int ServiceHost::printUsage() {
  attachConsole();
  const char* name = programName_.c_str();
  std::printf(
      "Usage: %s [-c DIRECTORY] [-d | -f]\n"
      "       %s [-c DIRECTORY] -i [-l ACCOUNT] [-p PASSWORD]\n"
      "       %s -u | -s | -e | -h | -v\n"
      "Without -d, -f or an action the program expects the service manager to have started "
      "it.\n"
      "  -d            run %s in the console; Ctrl+C stops it\n"
      "  -f            run it in the background\n"
      "  -c DIRECTORY  read the settings file from DIRECTORY and write the log there\n"
      "                (default: the settings file beside the program, the log in the current\n"
      "                directory); with -i the installed service is started with it\n"
      "  -i            install the service, started at boot\n"
      "  -l ACCOUNT    with -i: the account the service runs as\n"
      "  -p PASSWORD   with -i: the account's password\n"
      "  -u            stop and remove the installed service\n"
      "  -s            start the installed service\n"
      "  -e            stop the installed service\n"
      "  -h, -?, --help  print this summary\n"
      "  -v, --version   print the program's name and version\n"
      "Only the letter after the dash counts (-install acts as -i). Exit code: 1 on success,\n"
      "0 when an action fails, %d when the server cannot start.\n",
      name, name, name, displayName_.c_str(), kStartFailedExitCode);
  std::fflush(stdout);
  return 1;
}

int ServiceHost::printVersion() {
  attachConsole();
  std::printf("%s (%s) %s\n", programName_.c_str(), displayName_.c_str(), QUORVANE_VERSION);
  std::fflush(stdout);
  return 1;
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
  // The service is started with the directory of -c, made absolute: the service manager starts
  // it elsewhere.
  std::vector<std::string> arguments;
  if (settingsDirectory_) {
    std::error_code error;
    std::filesystem::path directory = std::filesystem::absolute(*settingsDirectory_, error);
    arguments = {"-c", error ? *settingsDirectory_ : directory.string()};
  }
  if (!manager->create(displayName_, program, arguments, accountName_, accountPassword_,
                       reason)) {
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
