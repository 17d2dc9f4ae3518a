// The command line and the status rules shared by every platform.
#include "service/ServiceHost.h"

#include "service/ServerLog.h"

namespace quorvane {

namespace {

// The value of -l or -p: the rest of the argument when something follows the letter, else the
// next argument, which is consumed. Nothing when the switch ends the list.
std::optional<std::string> switchValue(int argc, char** argv, int& index) {
  const char* rest = argv[index] + 2;
  if (*rest != '\0') return std::string(rest);
  if (index + 1 < argc) return std::string(argv[++index]);
  return std::nullopt;
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
