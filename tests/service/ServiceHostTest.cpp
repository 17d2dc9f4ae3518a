#include "service/ServiceHost.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace quorvane {
namespace {

struct Event {
  std::string text;
  unsigned type;
};

// Records which of its actions the command line chose; each answers with its own code.
class RecordingHost : public ServiceHost {
 public:
  RecordingHost() : ServiceHost("Recording Service", "Recording Display") {}

  void run(int, char**) override {}
  void stop() override { ++stops; }
  int startDispatcher() override { return record("dispatcher", 7); }
  int install() override { return record("install", 11); }
  int uninstall() override { return record("uninstall", 12); }
  int startInstalled() override { return record("start", 13); }
  int stopInstalled() override { return record("stop", 14); }
  int consoleRun(int, char**, bool hidden) override {
    return hidden ? record("hidden", 16) : record("console", 15);
  }
  void reportEvent(const std::string& text, unsigned type) override {
    events.push_back({text, type});
  }
  using ServiceHost::setConsoleMode;

  // Runs the command line `arguments` behind a program name. The list has no terminating null
  // pointer, so reading beyond it shows up under AddressSanitizer.
  int parse(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "QuorvaneService");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    return processCommandLine(static_cast<int>(argv.size()), argv.data());
  }

  std::vector<std::string> actions;
  std::vector<Event> events;
  int stops = 0;

 private:
  int record(const char* action, int code) {
    actions.push_back(action);
    return code;
  }
};

using Actions = std::vector<std::string>;

TEST(ServiceHostTest, OnlyTheLetterAfterTheDashCounts) {
  struct Case {
    std::vector<std::string> arguments;
    std::string action;
    int code;
  };
  const std::vector<Case> cases = {
      {{"-install"}, "install", 11},
      {{"-uninstall"}, "uninstall", 12},
      {{"-start"}, "start", 13},
      {{"-end"}, "stop", 14},
      {{}, "dispatcher", 7},
      {{"-x"}, "dispatcher", 7},
      {{"install", "-", ""}, "dispatcher", 7},
  };
  for (const Case& c : cases) {
    RecordingHost host;
    EXPECT_EQ(host.parse(c.arguments), c.code) << testing::PrintToString(c.arguments);
    EXPECT_EQ(host.actions, Actions{c.action}) << testing::PrintToString(c.arguments);
    EXPECT_FALSE(host.consoleMode());
  }
}

TEST(ServiceHostTest, TheLastActionWins) {
  RecordingHost uninstalling;
  EXPECT_EQ(uninstalling.parse({"-i", "-u"}), 12);
  EXPECT_EQ(uninstalling.actions, Actions{"uninstall"});

  RecordingHost stopping;
  EXPECT_EQ(stopping.parse({"-s", "-i", "-e"}), 14);
  EXPECT_EQ(stopping.actions, Actions{"stop"});
}

TEST(ServiceHostTest, AccountAndPasswordStandBeforeOrAfterTheAction) {
  RecordingHost attached;
  EXPECT_EQ(attached.parse({"-u", "-lacct", "-i"}), 11);
  EXPECT_EQ(attached.actions, Actions{"install"});
  EXPECT_EQ(attached.accountName(), "acct");
  EXPECT_FALSE(attached.accountPassword().has_value());

  RecordingHost separate;
  EXPECT_EQ(separate.parse({"-l", "acct", "-p", "pw", "-i"}), 11);
  EXPECT_EQ(separate.actions, Actions{"install"});
  EXPECT_EQ(separate.accountName(), "acct");
  EXPECT_EQ(separate.accountPassword(), "pw");

  // The next argument is the value even when it looks like a switch.
  RecordingHost consumed;
  EXPECT_EQ(consumed.parse({"-l", "-i"}), 7);
  EXPECT_EQ(consumed.actions, Actions{"dispatcher"});
  EXPECT_EQ(consumed.accountName(), "-i");
}

TEST(ServiceHostTest, ASwitchWithoutValueAtTheEndLeavesItUnset) {
  RecordingHost account;
  EXPECT_EQ(account.parse({"-i", "-l"}), 11);
  EXPECT_FALSE(account.accountName().has_value());

  RecordingHost password;
  EXPECT_EQ(password.parse({"-lacct", "-i", "-p"}), 11);
  EXPECT_EQ(password.accountName(), "acct");
  EXPECT_FALSE(password.accountPassword().has_value());

  RecordingHost repeated;
  EXPECT_EQ(repeated.parse({"-lfirst", "-i", "-l"}), 11);
  EXPECT_FALSE(repeated.accountName().has_value());
}

TEST(ServiceHostTest, ConsoleAndBackgroundSwitchesActAtOnce) {
  RecordingHost console;
  EXPECT_EQ(console.parse({"-d", "-i"}), 15);
  EXPECT_EQ(console.actions, Actions{"console"});
  EXPECT_TRUE(console.consoleMode());

  RecordingHost afterAction;
  EXPECT_EQ(afterAction.parse({"-i", "-debug", "-u"}), 15);
  EXPECT_EQ(afterAction.actions, Actions{"console"});

  RecordingHost hidden;
  EXPECT_EQ(hidden.parse({"-f", "-d"}), 16);
  EXPECT_EQ(hidden.actions, Actions{"hidden"});
  EXPECT_TRUE(hidden.consoleMode());
}

TEST(ServiceHostTest, StatusReportsInConsoleModeSendNothing) {
  RecordingHost host;
  host.setConsoleMode(true);
  EXPECT_TRUE(host.reportStatus(ServiceHost::StartPending, 3000, 0));
  EXPECT_TRUE(host.reportStatus(ServiceHost::StopPending, 5000, 1));
  EXPECT_EQ(host.checkpoint(), 0u);
  EXPECT_TRUE(host.events.empty());
}

TEST(ServiceHostTest, AFailedStatusReportIsLoggedAndCountsCheckpoints) {
  // Not started by a service manager: nothing can take the report.
  RecordingHost host;
  EXPECT_FALSE(host.reportStatus(ServiceHost::StartPending, 3000, 0));
  EXPECT_EQ(host.checkpoint(), 1u);
  EXPECT_FALSE(host.reportStatus(ServiceHost::Running, 3000, 0));
  EXPECT_EQ(host.checkpoint(), 1u);
  EXPECT_FALSE(host.reportStatus(ServiceHost::StopPending, 5000, 0));
  EXPECT_EQ(host.checkpoint(), 2u);
  ASSERT_EQ(host.events.size(), 3u);
  for (const Event& event : host.events) {
    EXPECT_EQ(event.text, "SetServiceStatus() failed");
    EXPECT_EQ(event.type, ServiceHost::ErrorEvent);
  }
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
#endif

}  // namespace
}  // namespace quorvane
