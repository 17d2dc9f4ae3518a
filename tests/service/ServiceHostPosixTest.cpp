// The Linux service host against a stand-in systemctl and a notification socket of the test's own.
// Guards against a unit file or systemd state misread or written wrongly, and signals that do not
// stop the run.
#include "service/ServiceHost.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/Files.h"
#include "support/WaitFor.h"

namespace quorvane {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;

const char* const kUnit = "quorvane-server.service";

// Records what systemctl was asked, answers is-system-running from the file system-state and
// is-active from the file states, one line per query (the last line stays), and refuses a
// command when a file refuse-<command> holds its complaint.
const char* const kStandIn = R"sh(#!/bin/sh
dir=$(dirname "$0")
echo "$*" >> "$dir/calls"
case "$1" in
  is-system-running)
    cat "$dir/system-state"
    exit 0 ;;
  is-active)
    state=$(head -n 1 "$dir/states")
    if [ "$(wc -l < "$dir/states")" -gt 1 ]; then sed -i 1d "$dir/states"; fi
    echo "$state"
    [ "$state" = active ]
    exit $? ;;
esac
if [ -f "$dir/refuse-$1" ]; then
  cat "$dir/refuse-$1" >&2
  exit 1
fi
exit 0
)sh";

std::string uniqueName(const std::string& purpose) {
  std::random_device random;
  return "quorvane-" + purpose + "-" + std::to_string(::getpid()) + "-" +
         std::to_string(random());
}

// Runs the command line `arguments` behind a program name.
int parse(ServiceHost& host, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "QuorvaneService");
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  return host.processCommandLine(static_cast<int>(arguments.size()), argv.data());
}

bool blocked(int signo) {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, signo) == 1;
}

class TestHost : public ServiceHost {
 public:
  TestHost() : ServiceHost("Quorvane Server") {}

  // Waits until stop is called, reporting RUNNING first as a service body does. Bounded, so that
  // a failed test leaves no process behind for long.
  void run(int, char**) override {
    std::thread([this] { startedThreadBlocks = blocked(SIGINT) && blocked(SIGTERM); }).join();
    if (signalOnRun != 0) ::kill(::getpid(), signalOnRun);
    if (failStart) {
      setStartFailed();
      return;
    }
    reportStatus(Running, 3000, 0);
    std::unique_lock<std::mutex> guard(lock_);
    running_ = true;
    changed_.notify_all();
    changed_.wait_for(guard, std::chrono::seconds(60), [this] { return stopped_; });
  }
  void stop() override {
    reportStatus(StopPending, 5000, 0);
    std::lock_guard<std::mutex> guard(lock_);
    stopped_ = true;
    ++stops_;
    changed_.notify_all();
  }
  void onHangup() override {
    std::lock_guard<std::mutex> guard(lock_);
    ++hangups_;
  }
  void reportEvent(const std::string& text, unsigned type) override {
    std::lock_guard<std::mutex> guard(lock_);
    events.push_back(text + "|" + std::to_string(type));
  }
  bool waitUntilRunning() {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, test::kPatience, [this] { return running_; });
  }
  int stops() {
    std::lock_guard<std::mutex> guard(lock_);
    return stops_;
  }
  int hangups() {
    std::lock_guard<std::mutex> guard(lock_);
    return hangups_;
  }
  // Hands SIGHUP to the run and waits until it arrived: true when it did without a stop.
  bool hangUp() {
    return deliverSignal(SIGHUP) && test::waitFor([this] { return hangups() == 1; }) &&
           stops() == 0;
  }

  std::vector<std::string> events;
  int signalOnRun = 0;               // sent to the whole process when the run begins
  bool failStart = false;            // the run ends at once as a failed start
  bool startedThreadBlocks = false;  // a thread the run started has the stop signals blocked

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool running_ = false;
  bool stopped_ = false;
  int stops_ = 0;
  int hangups_ = 0;
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
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  fs::path unitPath() const { return dir_ / "units" / kUnit; }
  void setStates(const std::string& lines) { writeFile(dir_ / "states", lines); }
  std::string calls() const { return readFile(dir_ / "calls"); }

  // Runs the command line; its standard output goes to `out`, its standard error to `err`.
  int runCaptured(std::vector<std::string> arguments, std::string& out, std::string* err = nullptr) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int result = parse(host_, std::move(arguments));
    out = testing::internal::GetCapturedStdout();
    std::string errors = testing::internal::GetCapturedStderr();
    if (err != nullptr) *err = errors;
    return result;
  }

  fs::path dir_;
  TestHost host_;
};

TEST_F(ServiceHostPosixTest, InstallWritesAnEnabledNotifyUnitOnce) {
  std::string out;
  std::string err;
  ASSERT_EQ(runCaptured({"-l", "alice", "-p", "secret", "-i"}, out, &err), 1);
  EXPECT_EQ(out, "Quorvane Server installed.\n");
  EXPECT_EQ(err, "-p is ignored on Linux: the service runs as the account given with -l\n");
  EXPECT_EQ(calls(), "is-system-running\ndaemon-reload\nenable quorvane-server.service\n");
  EXPECT_EQ(host_.events, std::vector<std::string>{"Service installed|4"});

  std::string program = ServiceHost::programPath();
  std::string directory = ServiceHost::programDirectory();
  directory.pop_back();
  ASSERT_EQ(program.find_first_of(" \t\"'\\$%;"), std::string::npos) << "quoting not expected";
  EXPECT_EQ(readFile(unitPath()),
            "[Unit]\n"
            "Description=Quorvane Server\n"
            "After=network.target\n"
            "\n"
            "[Service]\n"
            "Type=notify\n"
            "ExecStart=" + program + "\n"
            "WorkingDirectory=" + directory + "\n"
            "User=alice\n"
            "SuccessExitStatus=1\n"
            "Restart=on-failure\n"
            "RestartPreventExitStatus=2\n"
            "LimitNOFILE=65536\n"
            "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n");
  // Nothing but the unit: no temporary file is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "units"), fs::directory_iterator()), 1);

  std::string first = readFile(unitPath());
  ASSERT_EQ(runCaptured({"-i"}, out), 0);
  EXPECT_EQ(out, "CreateService failed - unit file " + unitPath().string() + " already exists\n");
  EXPECT_EQ(readFile(unitPath()), first);
  EXPECT_EQ(host_.events.size(), 1u);
}

// The unit starts the program with the directory of -c, made absolute and quoted as needed.
TEST_F(ServiceHostPosixTest, InstallPassesTheSettingsDirectoryOn) {
  const fs::path previous = fs::current_path();
  fs::current_path(dir_);
  std::string out;
  int result = runCaptured({"-c", "state dir", "-i"}, out);
  fs::current_path(previous);
  ASSERT_EQ(result, 1) << out;
  const std::string expected = "\nExecStart=" + ServiceHost::programPath() + " -c \"" +
                               (dir_ / "state dir").string() + "\"\n";
  const std::string unit = readFile(unitPath());
  EXPECT_NE(unit.find(expected), std::string::npos) << unit;

  std::string refused;
  ASSERT_EQ(runCaptured({"-u"}, out), 1);
  ASSERT_EQ(runCaptured({"-c", "a\nExecStartPre=/bin/false", "-i"}, refused), 0);
  EXPECT_EQ(refused,
            "CreateService failed - an argument of the program holds a control character\n");
}

TEST_F(ServiceHostPosixTest, InstallRefusesValuesThatWouldBreakTheUnit) {
  std::string out;
  ASSERT_EQ(runCaptured({"-l", "bob\nExecStartPre=/bin/false", "-i"}, out), 0);
  EXPECT_EQ(out, "CreateService failed - the account name holds a control character\n");
  EXPECT_FALSE(fs::exists(unitPath()));
}

TEST_F(ServiceHostPosixTest, AFailedEnableLeavesNoUnitBehind) {
  writeFile(dir_ / "refuse-enable", "Failed to enable unit: boom\n");
  std::string out;
  ASSERT_EQ(runCaptured({"-i"}, out), 0);
  EXPECT_EQ(out, "CreateService failed - Failed to enable unit: boom\n");
  EXPECT_FALSE(fs::exists(unitPath()));
  EXPECT_EQ(calls(),
            "is-system-running\ndaemon-reload\nenable quorvane-server.service\ndaemon-reload\n");
  EXPECT_TRUE(host_.events.empty());
}

// Guards against a management action that misreads systemd: each action's messages, dots and
// exit code for the unit's states as systemctl reports them, one query a line.
TEST_F(ServiceHostPosixTest, ActionsFollowTheUnitsStates) {
  const std::string unit = unitPath().string();
  const std::string offline =
      "OpenSCManager failed - systemd is not running (systemctl is-system-running: offline)\n";
  struct Case {
    std::vector<std::string> arguments;
    bool unitExists;
    std::string states;
    std::string refuse;  // "<command>:<complaint>" or empty
    int code;
    std::string out;
    bool unitAfter;
    std::string systemState = "running";
  };
  const std::vector<Case> cases = {
      {{"-i"}, false, "inactive", "", 0, offline, false, "offline"},
      {{"-u"}, true, "inactive", "", 0, offline, true, "offline"},
      {{"-s"}, true, "inactive", "", 0, offline, true, "offline"},
      {{"-e"}, true, "inactive", "", 0, offline, true, "offline"},
      {{"-u"}, false, "inactive", "", 0, "OpenService failed - unit file " + unit +
       " does not exist\n", false},
      {{"-s"}, false, "inactive", "", 0, "OpenService failed - unit file " + unit +
       " does not exist\n", false},
      {{"-e"}, false, "inactive", "", 0, "OpenService failed - unit file " + unit +
       " does not exist\n", false},
      {{"-u"}, true, "inactive", "", 1, "Quorvane Server removed.\n", false},
      {{"-u"}, true, "inactive", "disable:Failed to disable unit: no", 0,
       "DeleteService failed - Failed to disable unit: no\n", true},
      {{"-s"}, true, "inactive\nactivating\nactivating\nactive", "", 1,
       "Starting up Quorvane Server...\nQuorvane Server started.\n", true},
      {{"-s"}, true, "inactive\nactivating\nfailed", "", 0,
       "Starting up Quorvane Server..\nQuorvane Server failed to start.\n", true},
      {{"-s"}, true, "inactive", "start:Failed to start quorvane-server.service: Unit is masked.",
       0, "Starting up Quorvane Server.\nQuorvane Server failed to start: Failed to start "
       "quorvane-server.service: Unit is masked.\n", true},
      {{"-s"}, true, "active", "", 0, "Starting up Quorvane Server.\nQuorvane Server failed to "
       "start: the service is already running\n", true},
      {{"-e"}, true, "active\ndeactivating\ninactive", "", 1,
       "Stopping Quorvane Server..\nQuorvane Server stopped.\n", true},
      {{"-e"}, true, "active\nfailed", "", 1, "Stopping Quorvane Server.\nQuorvane Server "
       "stopped.\n", true},
      {{"-e"}, true, "active\ndeactivating\nactive", "", 0,
       "Stopping Quorvane Server..\nQuorvane Server failed to stop.\n", true},
      {{"-e"}, true, "inactive", "", 0, "", true},
  };
  for (const Case& c : cases) {
    const std::string label = c.arguments[0] + " " + c.states + " " + c.refuse;
    fs::remove(unitPath());
    if (c.unitExists) writeFile(unitPath(), "[Unit]\n");
    for (const char* command : {"refuse-disable", "refuse-start"}) fs::remove(dir_ / command);
    if (!c.refuse.empty()) {
      const std::size_t colon = c.refuse.find(':');
      writeFile(dir_ / ("refuse-" + c.refuse.substr(0, colon)), c.refuse.substr(colon + 1) + "\n");
    }
    writeFile(dir_ / "system-state", c.systemState + "\n");
    setStates(c.states + "\n");
    std::string out;
    EXPECT_EQ(runCaptured(c.arguments, out), c.code) << label;
    EXPECT_EQ(out, c.out) << label;
    EXPECT_EQ(fs::exists(unitPath()), c.unitAfter) << label;
  }
  const std::string missing = (dir_ / "no-such-systemctl").string();
  host_.setSystemctlPath(missing);
  std::string out;
  EXPECT_EQ(runCaptured({"-i"}, out), 0);
  EXPECT_EQ(out, "OpenSCManager failed - cannot run " + missing + ": No such file or directory\n");
}

// A running service is stopped without waiting in systemctl, polled until it has stopped, then
// disabled.
TEST_F(ServiceHostPosixTest, UninstallStopsARunningServiceWithADotPerPendingPoll) {
  writeFile(unitPath(), "[Unit]\n");
  setStates("active\ndeactivating\ndeactivating\ninactive\n");
  std::string out;
  ASSERT_EQ(runCaptured({"-u"}, out), 1);
  EXPECT_EQ(out,
            "Stopping Quorvane Server...\nQuorvane Server stopped.\nQuorvane Server removed.\n");
  EXPECT_FALSE(fs::exists(unitPath()));
  EXPECT_EQ(calls(),
            "is-system-running\nis-active quorvane-server.service\n"
            "stop --no-block quorvane-server.service\n"
            "is-active quorvane-server.service\nis-active quorvane-server.service\n"
            "is-active quorvane-server.service\n"
            "disable quorvane-server.service\ndaemon-reload\n");
}

TEST_F(ServiceHostPosixTest, WithoutANotifySocketTheDispatcherFails) {
  ::unsetenv("NOTIFY_SOCKET");
  std::string out;
  std::string err;
  EXPECT_EQ(runCaptured({}, out, &err), 0);
  const std::string reason =
      "not started by systemd (NOTIFY_SOCKET is not set); use -d to run in the console, -f to "
      "run in the background, or -i to install the service";
  EXPECT_EQ(err, "Quorvane Server: " + reason + "\n");
  EXPECT_EQ(host_.events, std::vector<std::string>{reason + "|1"});
  EXPECT_EQ(host_.stops(), 0);
}

// A datagram socket bound where the test's NOTIFY_SOCKET points.
class NotifyReceiver {
 public:
  explicit NotifyReceiver(const std::string& address) : address_(address) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    std::memcpy(local.sun_path, address.data(), address.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
    if (address[0] == '@') local.sun_path[0] = '\0';
    timeval patience{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
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
    ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
    return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
  }

 private:
  std::string address_;
  int fd_ = -1;
  bool bound_ = false;
};

// The states of a managed run; SIGHUP calls onHangup and leaves the run going, SIGTERM stops it.
void expectManagedRun(TestHost& host, NotifyReceiver& receiver) {
  ASSERT_TRUE(receiver.bound());
  std::atomic<int> result{-1};
  std::thread dispatcher([&] { result = parse(host, {}); });
  EXPECT_EQ(receiver.next(), "STATUS=Starting...\nEXTEND_TIMEOUT_USEC=8000000");
  EXPECT_EQ(receiver.next(), "READY=1\nSTATUS=Running");
  EXPECT_TRUE(host.waitUntilRunning());
  EXPECT_TRUE(host.hangUp());
  EXPECT_TRUE(host.deliverSignal(SIGTERM));
  EXPECT_EQ(receiver.next(), "STOPPING=1");
  EXPECT_EQ(receiver.next(), "STATUS=Stopped");
  dispatcher.join();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(host.stops(), 1);
  EXPECT_EQ(host.checkpoint(), 2u);
  EXPECT_FALSE(host.deliverSignal(SIGTERM)) << "the signal thread outlived the run";
}

TEST_F(ServiceHostPosixTest, UnderSystemdTheStatesGoToTheNotifySocket) {
  std::string path = (dir_ / "notify").string();
  NotifyReceiver receiver(path);
  expectManagedRun(host_, receiver);
}

// A run that could not start never reports READY: the unit fails, with the exit code that
// keeps systemd from restarting it.
TEST_F(ServiceHostPosixTest, AFailedStartIsNeverReportedReady) {
  NotifyReceiver receiver((dir_ / "notify").string());
  ASSERT_TRUE(receiver.bound());
  host_.failStart = true;
  EXPECT_EQ(parse(host_, {}), ServiceHost::kStartFailedExitCode);
  EXPECT_EQ(receiver.next(), "STATUS=Starting...\nEXTEND_TIMEOUT_USEC=8000000");
  EXPECT_EQ(receiver.next(), "STATUS=Failed to start");
  EXPECT_EQ(host_.stops(), 0);
}

TEST_F(ServiceHostPosixTest, AnAbstractNotifyAddressWorksToo) {
  NotifyReceiver receiver("@" + uniqueName("notify"));
  expectManagedRun(host_, receiver);
}

TEST(ServiceHostConsoleTest, SighupCallsOnHangupAndSigintStopsTheConsoleRun) {
  TestHost host;
  testing::internal::CaptureStdout();
  std::atomic<int> result{-1};
  bool blockedAfter = true;
  std::thread console([&] {
    result = parse(host, {"-d"});
    blockedAfter = blocked(SIGINT) || blocked(SIGTERM);
  });
  ASSERT_TRUE(host.waitUntilRunning());
  EXPECT_TRUE(host.hangUp());
  EXPECT_TRUE(host.deliverSignal(SIGINT));
  console.join();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(out, "Debugging Quorvane Server.\nStopping Quorvane Server.\n");
  EXPECT_EQ(host.stops(), 1);
  EXPECT_TRUE(host.startedThreadBlocks);
  EXPECT_FALSE(blockedAfter) << "the signals stayed blocked after the run";
  EXPECT_TRUE(host.events.empty());
}

// The death-test statement: exits 42 when the console run gave 1, telling how often it stopped.
[[noreturn]] void runSelfSignalling(int signo) {
  TestHost host;
  host.signalOnRun = signo;
  int result = parse(host, {"-d"});
  std::fprintf(stderr, "stops=%d\n", host.stops());
  std::exit(result == 1 ? 42 : 43);
}

// In a fresh process of its own, so no thread but the run's can take the signal.
TEST(ServiceHostConsoleDeathTest, RealInterruptAndTerminateSignalsStopTheRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int signo : {SIGINT, SIGTERM}) {
    EXPECT_EXIT(runSelfSignalling(signo), testing::ExitedWithCode(42), "stops=1") << signo;
  }
}

// The background run forks: the first process returns 1 at once, the second runs detached until
// SIGTERM and leaves its pid and the end of its run in files.
class BackgroundHost : public TestHost {
 public:
  explicit BackgroundHost(fs::path dir) : dir_(std::move(dir)) {}
  void run(int argc, char** argv) override {
    writeFile(dir_ / "session", std::to_string(::getsid(0) == ::getpid()));
    writeFile(dir_ / "pid.tmp", std::to_string(::getpid()));
    fs::rename(dir_ / "pid.tmp", dir_ / "pid");
    TestHost::run(argc, argv);
  }
  void onHangup() override { writeFile(dir_ / "hangup", "1"); }

 private:
  fs::path dir_;
};

// The death-test statement: the first process exits 42 when the command line gave 1; the
// detached one records the result of its own run.
[[noreturn]] void runInBackground(const fs::path& dir) {
  BackgroundHost host(dir);
  pid_t first = ::getpid();
  int result = parse(host, {"-f"});
  if (::getpid() == first) std::exit(result == 1 ? 42 : 43);
  writeFile(dir / "ended", std::to_string(result));
  std::exit(0);
}

TEST(ServiceHostBackgroundDeathTest, TheBackgroundRunDetachesOutlivesSighupAndStopsOnTerminate) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The death-test child runs this body afresh; it finds the directory in its environment.
  const char* const kDirVariable = "QUORVANE_TEST_BACKGROUND_DIR";
  if (std::getenv(kDirVariable) == nullptr) {
    ::setenv(kDirVariable, test::makeTempDirectory("background").c_str(), 1);
  }
  fs::path dir = std::getenv(kDirVariable);
  fs::create_directories(dir);
  EXPECT_EXIT(runInBackground(dir), testing::ExitedWithCode(42), "");
  ASSERT_TRUE(test::waitFor([&] { return fs::exists(dir / "pid"); }));
  pid_t background = static_cast<pid_t>(std::stol(readFile(dir / "pid")));
  EXPECT_EQ(readFile(dir / "session"), "1");
  // A detached run has no terminal to hang up: SIGHUP does not stop it.
  ASSERT_EQ(::kill(background, SIGHUP), 0);
  EXPECT_TRUE(test::waitFor([&] { return fs::exists(dir / "hangup"); }));
  EXPECT_FALSE(fs::exists(dir / "ended"));
  ASSERT_EQ(::kill(background, SIGTERM), 0);
  EXPECT_TRUE(test::waitFor([&] { return fs::exists(dir / "ended"); }));
  EXPECT_EQ(readFile(dir / "ended"), "1");
  ::unsetenv(kDirVariable);
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

}  // namespace
}  // namespace quorvane
