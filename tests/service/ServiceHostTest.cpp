// The service host: the command line and the status rules that every platform shares, and on
// Linux the management actions against a stand-in systemctl and a managed run against a
// notification socket of the test's own (on Windows, scripts/test-windows.sh runs them against the
// service control manager). Guards against a command line that picks the wrong action or value, a
// status report that fails unseen, a unit file written wrongly or left behind, systemd's answers
// misread, and a managed run that reports its states wrongly or ignores its signals.
#include "service/ServiceHost.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/Files.h"
#include "support/WaitFor.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#endif

namespace quorvane {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;

// Runs the command line `arguments` behind a program name. The list has no terminating null
// pointer, so reading beyond it shows up under AddressSanitizer.
int parse(ServiceHost& host, std::vector<std::string> arguments,
          const char* program = "QuorvaneService") {
  arguments.insert(arguments.begin(), program);
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  return host.processCommandLine(static_cast<int>(argv.size()), argv.data());
}

// Records which of its actions the command line chose; each answers with its own code.
class RecordingHost : public ServiceHost {
 public:
  RecordingHost() : ServiceHost("Recording Service", "Recording Display") {}

  void run(int, char**) override {}
  void stop() override { ++stops; }
  int startDispatcher() override { return record("dispatcher"); }
  int install() override { return record("install"); }
  int uninstall() override { return record("uninstall"); }
  int startInstalled() override { return record("start"); }
  int stopInstalled() override { return record("stop"); }
  int consoleRun(int, char**, bool f) override { return record(f ? "hidden" : "console"); }
  void reportEvent(const std::string& text, unsigned type) override {
    events.push_back(text + "|" + std::to_string(type));
  }

  int parse(std::vector<std::string> arguments, const char* program = "QuorvaneService") {
    return quorvane::parse(*this, std::move(arguments), program);
  }

  static inline const std::map<std::string, int> kCodes = {
      {"dispatcher", 7}, {"install", 11}, {"uninstall", 12}, {"start", 13},
      {"stop", 14},      {"console", 15}, {"hidden", 16}};
  std::vector<std::string> actions;
  std::vector<std::string> events;
  int stops = 0;

 private:
  int record(const std::string& action) {
    actions.push_back(action);
    return kCodes.at(action);
  }
  void attachConsole() override {}  // no console of its own for a test
};

// Only the letter after the dash counts, the last action wins, -c, -l and -p take the next
// argument whatever it looks like, -d and -f act at once, and -c counts wherever it stands.
TEST(ServiceHostTest, TheCommandLineChoosesOneActionAndTheSettingsDirectory) {
  struct Case {
    std::vector<std::string> arguments;
    std::string action;
    std::optional<std::string> directory;
  };
  const std::vector<Case> cases = {
      {{"-install"}, "install", {}},        {{"-uninstall"}, "uninstall", {}},
      {{"-start"}, "start", {}},            {{"-end"}, "stop", {}},
      {{}, "dispatcher", {}},               {{"-x"}, "dispatcher", {}},
      {{"--helpme"}, "dispatcher", {}},     {{"--versions"}, "dispatcher", {}},
      {{"-l", "-h"}, "dispatcher", {}},     {{"install", "-", ""}, "dispatcher", {}},
      {{"-i", "-u"}, "uninstall", {}},      {{"-s", "-i", "-e"}, "stop", {}},
      {{"-l", "-i"}, "dispatcher", {}},     {{"-u", "-lacct", "-i"}, "install", {}},
      {{"-d", "-i"}, "console", {}},        {{"-i", "-debug", "-u"}, "console", {}},
      {{"-f", "-d"}, "hidden", {}},
      {{"-c", "/srv/a", "-d"}, "console", "/srv/a"},
      {{"-d", "-c", "/srv/b"}, "console", "/srv/b"},
      {{"-f", "-c/srv/c"}, "hidden", "/srv/c"},
      {{"-c", "-d"}, "dispatcher", "-d"},
      {{"-d", "-c"}, "console", {}},
      {{"-c", "/srv/f", "-u", "-c", "/srv/g"}, "uninstall", "/srv/g"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.arguments));
    RecordingHost host;
    EXPECT_EQ(host.parse(c.arguments), RecordingHost::kCodes.at(c.action));
    EXPECT_EQ(host.actions, std::vector<std::string>{c.action});
    EXPECT_EQ(host.settingsDirectory(), c.directory);
    EXPECT_EQ(host.consoleMode(), c.action == "console" || c.action == "hidden");
  }
}

// -h and -v answer before anything else, with the success code, and start nothing.
TEST(ServiceHostTest, HelpAndVersionPrintAndStartNothing) {
  const std::string usage = "Usage: QuorvaneService [-c DIRECTORY] [-d | -f]\n";
  const std::vector<std::pair<std::vector<std::string>, bool>> cases = {  // true: help
      {{"-h"}, true},          {{"-?"}, true},          {{"-d", "--help"}, true},
      {{"-i", "-hx", "-v"}, true}, {{"-v"}, false},     {{"--version"}, false},
      {{"-f", "-v"}, false},   {{"-v", "-h"}, false}};
  for (const auto& [arguments, help] : cases) {
    SCOPED_TRACE(testing::PrintToString(arguments));
    RecordingHost host;
    testing::internal::CaptureStdout();
    EXPECT_EQ(host.parse(arguments, "/opt/x/QuorvaneService.EXE"), 1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(host.actions.empty());
    EXPECT_FALSE(host.consoleMode());
    EXPECT_EQ(help ? out.substr(0, usage.size()) : out,
              help ? usage : "QuorvaneService (Recording Display) " QUORVANE_VERSION "\n");
  }
}

// A status report that cannot be sent is logged; only the pending states count checkpoints.
TEST(ServiceHostTest, AStatusReportThatCannotBeSentIsLogged) {
  RecordingHost host;  // not started by a service manager: nothing takes the report
  using Host = ServiceHost;
  for (unsigned state : {Host::StartPending, Host::Running, Host::StopPending}) {
    EXPECT_FALSE(host.reportStatus(state, 3000, 0));
  }
  EXPECT_EQ(host.checkpoint(), 2u);
  EXPECT_EQ(host.events, std::vector<std::string>(3, "SetServiceStatus() failed|1"));
}

#ifdef _WIN32
// Wine offers no way to send Ctrl+Break to a console process, so the handler gets it directly.
TEST(ServiceHostTest, CtrlCAndCtrlBreakStopTheConsoleRunAndOtherEventsPassOn) {
  RecordingHost host;
  for (DWORD type : {CTRL_C_EVENT, CTRL_BREAK_EVENT}) {
    testing::internal::CaptureStdout();
    EXPECT_TRUE(ServiceHost::deliverConsoleControl(type)) << type;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Stopping Recording Display.\n");
  }
  EXPECT_EQ(host.stops, 2);
  // Closing the console, logging off, shutting down: left to the next handler.
  for (DWORD type : {CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
    EXPECT_FALSE(ServiceHost::deliverConsoleControl(type)) << type;
  }
  EXPECT_EQ(host.stops, 2);
}
#else
// Records what systemctl was asked, answers is-system-running from the file system-state and
// is-active from the file states, one line per query (the last line stays), and refuses a
// command when a file refuse-<command> holds its complaint.
const char* const kStandIn = R"sh(#!/bin/sh
dir=$(dirname "$0")
echo "$*" >> "$dir/calls"
case "$1" in
  is-system-running) cat "$dir/system-state"; exit 0 ;;
  is-active)
    state=$(head -n 1 "$dir/states")
    if [ "$(wc -l < "$dir/states")" -gt 1 ]; then sed -i 1d "$dir/states"; fi
    echo "$state"; [ "$state" = active ]; exit $? ;;
esac
if [ -f "$dir/refuse-$1" ]; then cat "$dir/refuse-$1" >&2; exit 1; fi
exit 0
)sh";

// A service body that reports RUNNING and waits until stopped (bounded, so that a failed test
// leaves no thread behind for long), or fails its start at once.
class TestHost : public ServiceHost {
 public:
  TestHost() : ServiceHost("Quorvane Server") {}

  void run(int, char**) override {
    if (failStart) return setStartFailed();
    reportStatus(Running, 3000, 0);
    running = true;
    test::waitFor([this] { return stops > 0; }, std::chrono::seconds(60));
  }
  void stop() override {
    reportStatus(StopPending, 5000, 0);
    ++stops;
  }
  void onHangup() override { ++hangups; }
  void reportEvent(const std::string& text, unsigned type) override {
    events.push_back(text + "|" + std::to_string(type));
  }

  bool failStart = false;
  std::atomic<bool> running{false};
  std::atomic<int> stops{0};
  std::atomic<int> hangups{0};
  std::vector<std::string> events;
};

class ServiceHostPosixTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::makeTempDirectory("systemd");
    fs::create_directories(dir_ / "units");
    writeFile(dir_ / "systemctl", kStandIn);
    fs::permissions(dir_ / "systemctl", fs::perms::owner_all);
    writeFile(dir_ / "system-state", "running\n");
    writeFile(dir_ / "states", "inactive\n");
    host_.setSystemctlPath((dir_ / "systemctl").string());
    host_.setUnitDirectory((dir_ / "units").string());
    host_.setPollInterval(std::chrono::milliseconds(1));
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path unitPath() const { return dir_ / "units" / "quorvane-server.service"; }
  std::string calls() const { return readFile(dir_ / "calls"); }

  // Runs the command line; its standard output goes to out_, its standard error to err_.
  int run(std::vector<std::string> arguments) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int result = parse(host_, std::move(arguments));
    out_ = testing::internal::GetCapturedStdout();
    err_ = testing::internal::GetCapturedStderr();
    return result;
  }

  fs::path dir_;
  TestHost host_;
  std::string out_, err_;
};

// The unit runs the program (with the directory of -c made absolute and quoted) as the account of
// -l, and is enabled; a second install is refused and changes nothing; a value with a line break,
// which would add a setting of its own, is refused and writes nothing.
TEST_F(ServiceHostPosixTest, InstallWritesAnEnabledNotifyUnitOnce) {
  const fs::path previous = fs::current_path();
  fs::current_path(dir_);
  const int result = run({"-l", "alice", "-p", "pw", "-c", "state dir", "-i"});
  fs::current_path(previous);
  ASSERT_EQ(result, 1) << out_;
  EXPECT_EQ(out_, "Quorvane Server installed.\n");
  EXPECT_EQ(err_, "-p is ignored on Linux: the service runs as the account given with -l\n");
  EXPECT_EQ(calls(), "is-system-running\ndaemon-reload\nenable quorvane-server.service\n");
  EXPECT_EQ(host_.events, std::vector<std::string>{"Service installed|4"});
  const std::string program = ServiceHost::programPath();
  ASSERT_EQ(program.find_first_of(" \t\"'\\$%;"), std::string::npos) << "quoting not expected";
  const std::string unit = readFile(unitPath());
  EXPECT_EQ(unit, "[Unit]\nDescription=Quorvane Server\nAfter=network.target\n\n"
                  "[Service]\nType=notify\nExecStart=" + program + " -c \"" +
                      (dir_ / "state dir").string() + "\"\nWorkingDirectory=" +
                      program.substr(0, program.rfind('/')) + "\nUser=alice\n"
                      "SuccessExitStatus=1\nRestart=on-failure\nRestartPreventExitStatus=2\n"
                      "LimitNOFILE=65536\n\n[Install]\nWantedBy=multi-user.target\n");
  // Nothing but the unit: no temporary file is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "units"), fs::directory_iterator()), 1);

  ASSERT_EQ(run({"-i"}), 0);
  EXPECT_EQ(out_, "CreateService failed - unit file " + unitPath().string() + " already exists\n");
  EXPECT_EQ(readFile(unitPath()), unit);
  EXPECT_EQ(host_.events.size(), 1u);
  ASSERT_EQ(run({"-u"}), 1);
  // The values of earlier command lines stay with the host; each of these breaks one more.
  for (const auto& [option, reason] : std::vector<std::pair<std::string, std::string>>{
           {"-l", "the account name"}, {"-c", "an argument of the program"}}) {
    ASSERT_EQ(run({option, "x\nExecStartPre=/bin/false", "-i"}), 0);
    EXPECT_EQ(out_, "CreateService failed - " + reason + " holds a control character\n");
    EXPECT_FALSE(fs::exists(unitPath()));
  }
}

// Each action's messages, dots and exit code for systemd's answers, one state query a line; a
// running service is stopped without waiting in systemctl and polled until it has stopped, and a
// failed install leaves no unit and tells systemd so.
TEST_F(ServiceHostPosixTest, ActionsFollowTheUnitsStates) {
  const std::string missing = "OpenService failed - unit file " + unitPath().string() +
                              " does not exist\n";
  const std::string offline =
      "OpenSCManager failed - systemd is not running (systemctl is-system-running: offline)\n";
  struct Case {
    std::string argument;
    bool unitBefore;
    std::string states;  // "offline" for a system that is not running
    std::string refuse;  // "<command>:<complaint>" or empty
    int code;
    std::string out;
    bool unitAfter;
    std::string calls = "";  // what systemctl was asked, when checked
  };
  const std::string unit = "quorvane-server.service\n";
  const std::vector<Case> cases = {
      {"-i", false, "offline", "", 0, offline, false},
      {"-s", true, "offline", "", 0, offline, true},
      {"-u", false, "inactive", "", 0, missing, false},
      {"-i", false, "inactive", "enable:Failed to enable unit: boom", 0,
       "CreateService failed - Failed to enable unit: boom\n", false,
       "is-system-running\ndaemon-reload\nenable " + unit + "daemon-reload\n"},
      {"-u", true, "inactive", "", 1, "Quorvane Server removed.\n", false},
      {"-u", true, "active\ndeactivating\ndeactivating\ninactive", "", 1,
       "Stopping Quorvane Server...\nQuorvane Server stopped.\nQuorvane Server removed.\n", false,
       "is-system-running\nis-active " + unit + "stop --no-block " + unit + "is-active " + unit +
           "is-active " + unit + "is-active " + unit + "disable " + unit + "daemon-reload\n"},
      {"-u", true, "inactive", "disable:Failed to disable unit: no", 0,
       "DeleteService failed - Failed to disable unit: no\n", true},
      // Removed whether or not it stopped.
      {"-u", true, "active\ndeactivating\nactive", "", 1,
       "Stopping Quorvane Server..\nQuorvane Server failed to stop.\nQuorvane Server removed.\n",
       false},
      {"-s", true, "inactive\nactivating\nactivating\nactive", "", 1,
       "Starting up Quorvane Server...\nQuorvane Server started.\n", true},
      // A state that cannot be told ends the wait.
      {"-s", true, "inactive\nactivating\nunknown", "", 0,
       "Starting up Quorvane Server..\nQuorvane Server failed to start.\n", true},
      {"-s", true, "inactive", "start:Failed to start quorvane-server.service: Unit is masked.", 0,
       "Starting up Quorvane Server.\nQuorvane Server failed to start: Failed to start "
       "quorvane-server.service: Unit is masked.\n", true},
      {"-s", true, "active", "", 0,
       "Starting up Quorvane Server.\nQuorvane Server failed to start: the service is already "
       "running\n", true},
      {"-e", true, "active\ndeactivating\nfailed", "", 1,
       "Stopping Quorvane Server..\nQuorvane Server stopped.\n", true},
      // A service that does not run is not waited for, and nothing is printed.
      {"-e", true, "inactive", "", 0, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argument + " " + c.states + " " + c.refuse);
    fs::remove(unitPath());
    if (c.unitBefore) writeFile(unitPath(), "[Unit]\n");
    for (std::string verb : {"enable", "disable", "start"}) fs::remove(dir_ / ("refuse-" + verb));
    if (!c.refuse.empty()) {
      const std::size_t colon = c.refuse.find(':');
      writeFile(dir_ / ("refuse-" + c.refuse.substr(0, colon)), c.refuse.substr(colon + 1) + "\n");
    }
    writeFile(dir_ / "system-state", c.states == "offline" ? "offline\n" : "running\n");
    writeFile(dir_ / "states", c.states + "\n");
    fs::remove(dir_ / "calls");
      EXPECT_EQ(run({c.argument}), c.code);
    EXPECT_EQ(out_, c.out);
    EXPECT_EQ(fs::exists(unitPath()), c.unitAfter);
    EXPECT_EQ(c.calls.empty() ? c.calls : calls(), c.calls);
  }
  const std::string absent = (dir_ / "no-such-systemctl").string();
  host_.setSystemctlPath(absent);
  EXPECT_EQ(run({"-i"}), 0);
  EXPECT_EQ(out_, "OpenSCManager failed - cannot run " + absent + ": No such file or directory\n");
}

// A datagram socket bound where NOTIFY_SOCKET points ('@' for the abstract namespace).
class NotifyReceiver {
 public:
  explicit NotifyReceiver(const std::string& address) : address_(address) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    std::memcpy(local.sun_path, address.data(), address.size());
    if (address[0] == '@') local.sun_path[0] = '\0';
    timeval patience{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&local), length) == 0;
    ::setenv("NOTIFY_SOCKET", address.c_str(), 1);
  }
  ~NotifyReceiver() {
    ::unsetenv("NOTIFY_SOCKET");
    ::close(fd_);
    if (address_[0] == '/') ::unlink(address_.c_str());
  }
  bool bound() const { return bound_; }
  // The next message; empty after ten seconds without one.
  std::string next() {
    char buffer[512];
    const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
    return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
  }

 private:
  std::string address_;
  int fd_ = -1;
  bool bound_ = false;
};

// Without a notification socket the dispatcher fails at once. The states of a managed run at a
// path and at an abstract address: SIGHUP calls onHangup and leaves the run going, SIGTERM stops
// it; a run that could not start is never reported ready and ends with the exit code that keeps
// systemd from restarting it.
TEST_F(ServiceHostPosixTest, UnderSystemdTheStatesGoToTheNotifySocket) {
  ::unsetenv("NOTIFY_SOCKET");
  EXPECT_EQ(run({}), 0);
  const std::string reason =
      "not started by systemd (NOTIFY_SOCKET is not set); use -d to run in the console, -f to "
      "run in the background, or -i to install the service";
  EXPECT_EQ(err_, "Quorvane Server: " + reason + "\n");
  EXPECT_EQ(host_.events, std::vector<std::string>{reason + "|1"});

  const std::string abstract = "@quorvane-notify-" + std::to_string(::getpid()) + "-" +
                               std::to_string(std::random_device()());
  for (const std::string& address : {(dir_ / "notify").string(), abstract}) {
    for (bool failStart : {false, true}) {
      SCOPED_TRACE(address + (failStart ? " failing" : ""));
      TestHost host;
      host.failStart = failStart;
      NotifyReceiver receiver(address);
      ASSERT_TRUE(receiver.bound());
      std::atomic<int> result{-1};
      std::thread dispatcher([&] { result = parse(host, {}); });
      EXPECT_EQ(receiver.next(), "STATUS=Starting...\nEXTEND_TIMEOUT_USEC=8000000");
      if (!failStart) {
        EXPECT_EQ(receiver.next(), "READY=1\nSTATUS=Running");
        EXPECT_TRUE(test::waitFor([&] { return host.running.load(); }));
        EXPECT_TRUE(host.deliverSignal(SIGHUP));
        EXPECT_TRUE(test::waitFor([&] { return host.hangups == 1; }));
        EXPECT_EQ(host.stops, 0);
        EXPECT_TRUE(host.deliverSignal(SIGTERM));
        EXPECT_EQ(receiver.next(), "STOPPING=1");
      }
      EXPECT_EQ(receiver.next(), failStart ? "STATUS=Failed to start" : "STATUS=Stopped");
      dispatcher.join();
      EXPECT_EQ(result, failStart ? ServiceHost::kStartFailedExitCode : 1);
      EXPECT_EQ(host.stops, failStart ? 0 : 1);
      EXPECT_FALSE(host.deliverSignal(SIGTERM)) << "the signal thread outlived the run";
    }
  }
}

#endif

}  // namespace
}  // namespace quorvane
