// Turns a program into a service that can also run in a console: reads the command line and
// either hands the process to the service manager, runs the service body in the console or in the
// background, or performs a management action (install, uninstall, start, stop). One per process.
//
// Shared logic in ServiceHost.cpp: the command line, the status rules and the management actions,
// written on the primitives of a ServiceManager. The platform in ServiceHostWindows.cpp (the
// Windows service control manager, event log and registry) and ServiceHostPosix.cpp (systemd,
// syslog and POSIX signals: SIGINT and SIGTERM stop a run, SIGHUP calls onHangup).
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace quorvane {

class ServiceManager;

class ServiceHost {
 public:
  // Service states as the service manager knows them.
  enum State : unsigned {
    Stopped = 1,
    StartPending = 2,
    StopPending = 3,
    Running = 4,
  };
  // Event types of reportEvent.
  enum EventType : unsigned { ErrorEvent = 1, WarningEvent = 2, InformationEvent = 4 };
  // The exit code of a run whose service could not start (1 is success, 0 a failed action).
  static constexpr int kStartFailedExitCode = 2;

  // `displayName` defaults to `serviceName`.
  ServiceHost(std::string serviceName, std::string displayName = std::string());
  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;
  virtual ~ServiceHost();

  // The service body; returns when the service has stopped.
  virtual void run(int argc, char** argv) = 0;
  // Asks the body to finish. Any thread.
  virtual void stop() = 0;
  // SIGHUP on POSIX, in every run: reopens the server log, appending, when the process has one,
  // so that a rotation tool may rename it. Any thread.
  virtual void onHangup();

  // The process's one entry: the result is the exit code (1 success, 0 failure).
  virtual int processCommandLine(int argc, char** argv);
  virtual int startDispatcher();
  // The management actions: each prints its steps on the console and gives 1 on success, 0 on
  // failure.
  virtual int install();
  virtual int uninstall();
  virtual int stopInstalled();
  virtual int startInstalled();
  virtual int consoleRun(int argc, char** argv, bool hidden);
  // -h and -v: the summary of every switch, and the program's name and version, on standard
  // output. Both give 1.
  virtual int printUsage();
  virtual int printVersion();
  virtual void installEventSource(const std::string& messageFile, unsigned typesSupported);
  virtual void removeEventSource();
  // Writes one entry of an EventType to the event log (syslog on POSIX).
  virtual void reportEvent(const std::string& text, unsigned type);

  // Reports a state to the service manager; in console mode sends nothing and succeeds.
  bool reportStatus(unsigned state, unsigned waitHint, unsigned exitCode);
  // The text of the calling thread's last system error, without its line end.
  static std::string systemErrorText();

  const std::string& serviceName() const { return serviceName_; }
  const std::string& displayName() const { return displayName_; }
  bool consoleMode() const { return consoleMode_; }
  // The last checkpoint sent with a pending state.
  unsigned checkpoint() const { return checkpoint_; }
  // The directory given with -c, if any: the service keeps its files there, and an installed
  // service is started with it.
  const std::optional<std::string>& settingsDirectory() const { return settingsDirectory_; }
  // Set by run when the service could not start; the run then ends with kStartFailedExitCode
  // and a managed run reports the failure to the service manager instead of a clean stop.
  bool startFailed() const { return startFailed_; }
  // The host of this process, or none.
  static ServiceHost* current();

  // The full path of the program file, and its directory with the final separator; both empty
  // when the system cannot tell.
  static std::string programPath();
  static std::string programDirectory();

#ifndef _WIN32
  // Test hooks; the program never calls them. The systemctl program to run, the directory of the
  // unit file, the pause between two state queries while a start or stop is pending.
  void setSystemctlPath(std::string path);
  void setUnitDirectory(std::string directory);
  void setPollInterval(std::chrono::milliseconds interval);
  // Hands `signo` to the signal thread of a console or managed run, as if the process had
  // received it; false when no run is waiting for signals.
  bool deliverSignal(int signo);
#else
  // Test hook; the program never calls it. Hands a console control event (CTRL_C_EVENT,
  // CTRL_BREAK_EVENT, ...) to the process's console handler as the system would, and returns
  // the handler's answer: true when it handled the event.
  static bool deliverConsoleControl(unsigned type);
#endif

  struct Platform;  // the platform's handles and state

 protected:
  void setConsoleMode(bool on) { consoleMode_ = on; }
  void setStartFailed() { startFailed_ = true; }
  // The exit code of a finished run: 1, or kStartFailedExitCode.
  int runExitCode() const { return startFailed_ ? kStartFailedExitCode : 1; }
  // Binds the standard streams to a console (Windows); nothing to do on POSIX.
  virtual void attachConsole();
  // The platform's service manager, for one management action.
  virtual std::unique_ptr<ServiceManager> serviceManager();

 private:
  // Hands one status record to the service manager; false when it could not be sent.
  bool sendStatus(unsigned state, unsigned waitHint, unsigned exitCode, unsigned checkpoint);

  static std::atomic<ServiceHost*> current_;

  std::string serviceName_;
  std::string displayName_;
  bool consoleMode_ = false;
  std::atomic<unsigned> checkpoint_{0};
  std::optional<std::string> accountName_;
  std::optional<std::string> accountPassword_;
  std::optional<std::string> settingsDirectory_;
  std::string programName_;  // argv[0] without its directory and ".exe", for the usage
  std::atomic<bool> startFailed_{false};
  std::unique_ptr<Platform> platform_;
};

}  // namespace quorvane
