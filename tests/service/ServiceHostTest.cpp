// The service host on a scripted service manager. Guards against a command line that picks the
// wrong action and management steps reported wrongly.
#include "service/ServiceHost.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "service/ServiceManager.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace quorvane {
namespace {

// Runs the command line `arguments` behind a program name. The list has no terminating null
// pointer, so reading beyond it shows up under AddressSanitizer.
int parse(ServiceHost& host, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "QuorvaneService");
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  return host.processCommandLine(static_cast<int>(argv.size()), argv.data());
}

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

  int parse(std::vector<std::string> arguments) {
    return quorvane::parse(*this, std::move(arguments));
  }

  std::vector<std::string> actions;
  std::vector<Event> events;
  int stops = 0;

 private:
  int record(const char* action, int code) {
    actions.push_back(action);
    return code;
  }
  void attachConsole() override {}  // no console of its own for a test
};

using Actions = std::vector<std::string>;

// Guards against a command line that picks the wrong action: only the letter after the dash
// counts, the last action wins, -l and -p take the next argument whatever it looks like, and -d
// and -f act at once.
TEST(ServiceHostTest, TheCommandLineChoosesOneAction) {
  struct Case {
    std::vector<std::string> arguments;
    std::string action;
    int code;
    bool console = false;
  };
  const std::vector<Case> cases = {
      {{"-install"}, "install", 11},
      {{"-uninstall"}, "uninstall", 12},
      {{"-start"}, "start", 13},
      {{"-end"}, "stop", 14},
      {{}, "dispatcher", 7},
      {{"-x"}, "dispatcher", 7},
      {{"install", "-", ""}, "dispatcher", 7},
      {{"-i", "-u"}, "uninstall", 12},
      {{"-s", "-i", "-e"}, "stop", 14},
      {{"-u", "-lacct", "-i"}, "install", 11},
      {{"-l", "-i"}, "dispatcher", 7},
      {{"-d", "-i"}, "console", 15, true},
      {{"-i", "-debug", "-u"}, "console", 15, true},
      {{"-f", "-d"}, "hidden", 16, true},
  };
  for (const Case& c : cases) {
    RecordingHost host;
    EXPECT_EQ(host.parse(c.arguments), c.code) << testing::PrintToString(c.arguments);
    EXPECT_EQ(host.actions, Actions{c.action}) << testing::PrintToString(c.arguments);
    EXPECT_EQ(host.consoleMode(), c.console) << testing::PrintToString(c.arguments);
  }
}

// -h and -v answer before anything else and start nothing; a long form counts only whole.
TEST(ServiceHostTest, HelpAndVersionPrintAndStartNothing) {
  const std::string version = "QuorvaneService (Recording Display) " QUORVANE_VERSION "\n";
  struct Case {
    std::vector<std::string> arguments;
    bool help;  // else the version
  };
  const std::vector<Case> cases = {
      {{"-h"}, true},          {{"-?"}, true},         {{"--help"}, true},
      {{"-help"}, true},       {{"-d", "-h"}, true},   {{"-i", "--help", "-v"}, true},
      {{"-v"}, false},         {{"--version"}, false}, {{"-version"}, false},
      {{"-f", "-v"}, false},   {{"-v", "-h"}, false},  {{"-c", "dir", "--version", "-s"}, false},
  };
  for (const Case& c : cases) {
    const std::string label = testing::PrintToString(c.arguments);
    RecordingHost host;
    testing::internal::CaptureStdout();
    std::vector<std::string> arguments = c.arguments;
    arguments.insert(arguments.begin(), "/opt/x/QuorvaneService.EXE");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    EXPECT_EQ(host.processCommandLine(static_cast<int>(argv.size()), argv.data()), 1) << label;
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(host.actions.empty()) << label;
    EXPECT_FALSE(host.consoleMode()) << label;
    if (!c.help) {
      EXPECT_EQ(out, version) << label;
      continue;
    }
    EXPECT_EQ(out.rfind("Usage: QuorvaneService [-c DIRECTORY] [-d | -f]\n", 0), 0u) << out;
    for (const char* item : {"\n  -d ", "\n  -f ", "\n  -c DIRECTORY ", "\n  -i ",
                             "\n  -l ACCOUNT ", "\n  -p PASSWORD ", "\n  -u ", "\n  -s ",
                             "\n  -e ", "\n  -h, -?, --help ", "\n  -v, --version "}) {
      EXPECT_NE(out.find(item), std::string::npos) << item << " is not explained";
    }
  }
  // Other words with two dashes, and a -h that is the value of -l, are no requests.
  for (std::vector<std::string> arguments :
       std::vector<std::vector<std::string>>{{"--helpme"}, {"--versions"}, {"-l", "-h"}}) {
    RecordingHost host;
    EXPECT_EQ(host.parse(arguments), 7);
    EXPECT_EQ(host.actions, Actions{"dispatcher"});
  }
}

// -c takes its value as -l does and counts also after -d or -f.
TEST(ServiceHostTest, TheSettingsDirectoryCountsWhereverItStands) {
  struct Case {
    std::vector<std::string> arguments;
    std::optional<std::string> directory;
    std::string action;
  };
  const std::vector<Case> cases = {
      {{"-c", "/srv/a", "-d"}, "/srv/a", "console"},
      {{"-d", "-c", "/srv/b"}, "/srv/b", "console"},
      {{"-f", "-c/srv/c"}, "/srv/c", "hidden"},
      {{"-d", "-c/srv/d", "-i"}, "/srv/d", "console"},
      {{"-c", "-d"}, "-d", "dispatcher"},
      {{"-d", "-c"}, std::nullopt, "console"},
      {{"-c", "/srv/e"}, "/srv/e", "dispatcher"},
      {{"-c", "/srv/f", "-u", "-c", "/srv/g"}, "/srv/g", "uninstall"},
  };
  for (const Case& c : cases) {
    RecordingHost host;
    host.parse(c.arguments);
    EXPECT_EQ(host.settingsDirectory(), c.directory) << testing::PrintToString(c.arguments);
    EXPECT_EQ(host.actions, Actions{c.action}) << testing::PrintToString(c.arguments);
  }
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

// Adds one step to a transcript of blank-separated steps.
void note(std::string& transcript, const std::string& step) {
  transcript += (transcript.empty() ? "" : " ") + step;
}

// A service manager as either platform's primitives may answer: each call is written to the
// transcript and succeeds unless the script refuses it, with the reason "no <call>".
struct Script {
  std::string refuses = "";           // the calls that fail, such as "connect find"
  std::vector<unsigned> states = {};  // one per query; the last one stays
  std::string passwordNote = "";
};

class ScriptedManager : public ServiceManager {
 public:
  ScriptedManager(Script script, std::string& transcript)
      : script_(std::move(script)), transcript_(transcript) {}
  ~ScriptedManager() override { note("close"); }

  bool connect(std::string& reason) override { return answer("connect", reason); }
  bool create(const std::string& displayName, const std::string&,
              const std::vector<std::string>& arguments, const std::optional<std::string>& account,
              const std::optional<std::string>& password, std::string& reason) override {
    std::string call = "create(" + displayName + "," + account.value_or("-") + "," +
                       password.value_or("-");
    for (const std::string& argument : arguments) call += "," + argument;
    note(call + ")");
    return outcome("create", reason);
  }
  bool find(std::string& reason) override { return answer("find", reason); }
  bool remove(std::string& reason) override { return answer("remove", reason); }
  bool requestStart(std::string& reason) override { return answer("start", reason); }
  bool requestStop() override {
    std::string reason;
    return answer("stop", reason);
  }
  unsigned state() override {
    note("state");
    unsigned state = script_.states.empty() ? 0 : script_.states.front();
    if (script_.states.size() > 1) script_.states.erase(script_.states.begin());
    return state;
  }
  void pause() override { note("pause"); }
  std::string unusedPasswordNote() const override { return script_.passwordNote; }

 private:
  void note(const std::string& call) { quorvane::note(transcript_, call); }
  bool answer(const std::string& call, std::string& reason) {
    note(call);
    return outcome(call, reason);
  }
  bool outcome(const std::string& call, std::string& reason) const {
    bool refused = (" " + script_.refuses + " ").find(" " + call + " ") != std::string::npos;
    if (refused) reason = "no " + call;
    return !refused;
  }

  Script script_;
  std::string& transcript_;
};

// The management actions on a scripted manager; the console, the event source and the event log
// go to the transcript too.
class ManagedHost : public ServiceHost {
 public:
  explicit ManagedHost(Script script)
      : ServiceHost("Managed Service", "Managed Display"), script_(std::move(script)) {}

  void run(int, char**) override {}
  void stop() override {}
  void installEventSource(const std::string& messageFile, unsigned types) override {
    note(transcript, std::string("source(") + (messageFile == programPath() ? "program" : "?") +
                         "," + std::to_string(types) + ")");
  }
  void removeEventSource() override { note(transcript, "unsource"); }
  void reportEvent(const std::string& text, unsigned type) override {
    note(transcript, "event(" + text + "," + std::to_string(type) + ")");
  }

  std::string transcript;

 protected:
  void attachConsole() override { note(transcript, "console"); }
  std::unique_ptr<ServiceManager> serviceManager() override {
    return std::make_unique<ScriptedManager>(script_, transcript);
  }

 private:
  Script script_;
};

#ifdef _WIN32
constexpr const char* kAbsoluteDirectory = "C:\\srv\\lobby";
#else
constexpr const char* kAbsoluteDirectory = "/srv/lobby";
#endif

// Messages, the dot a second, the order of the steps and the exit codes of the four actions, as
// both platforms run them on their primitives.
TEST(ServiceHostTest, ManagementActionsPrintTheirStepsAndGiveTheirResults) {
  const unsigned kStartPending = ServiceHost::StartPending;
  const unsigned kStopPending = ServiceHost::StopPending;
  const unsigned kRunning = ServiceHost::Running;
  const unsigned kStopped = ServiceHost::Stopped;
  struct Case {
    std::vector<std::string> arguments;
    Script script;
    int code;
    std::string out;
    std::string transcript;
    std::string err = "";
  };
  const std::vector<Case> cases = {
      {{"-i"}, {}, 1, "Managed Display installed.\n",
       "console connect create(Managed Display,-,-) close source(program,7) "
       "event(Service installed,4)"},
      {{"-l", "acct", "-p", "pw", "-i"}, {.passwordNote = "-p means nothing here"}, 1,
       "Managed Display installed.\n",
       "console connect create(Managed Display,acct,pw) close source(program,7) "
       "event(Service installed,4)",
       "-p means nothing here\n"},
      {{"-l", "acct", "-i"}, {.passwordNote = "-p means nothing here"}, 1,
       "Managed Display installed.\n",
       "console connect create(Managed Display,acct,-) close source(program,7) "
       "event(Service installed,4)"},
      {{"-c", kAbsoluteDirectory, "-i"}, {}, 1, "Managed Display installed.\n",
       "console connect create(Managed Display,-,-,-c," + std::string(kAbsoluteDirectory) +
           ") close source(program,7) event(Service installed,4)"},
      // A switch without its value at the end leaves it unset.
      {{"-lfirst", "-i", "-l"}, {}, 1, "Managed Display installed.\n",
       "console connect create(Managed Display,-,-) close source(program,7) "
       "event(Service installed,4)"},
      {{"-lacct", "-i", "-p"}, {}, 1, "Managed Display installed.\n",
       "console connect create(Managed Display,acct,-) close source(program,7) "
       "event(Service installed,4)"},
      {{"-i"}, {.refuses = "connect"}, 0, "OpenSCManager failed - no connect\n",
       "console connect close"},
      {{"-i"}, {.refuses = "create"}, 0, "CreateService failed - no create\n",
       "console connect create(Managed Display,-,-) close"},
      // Removing a running service: a dot for every query that finds it still stopping.
      {{"-u"}, {.states = {kStopPending, kStopPending, kStopped}}, 1,
       "Stopping Managed Display...\nManaged Display stopped.\nManaged Display removed.\n",
       "console connect find stop pause state pause state pause state remove close unsource"},
      {{"-u"}, {.refuses = "stop"}, 1, "Managed Display removed.\n",
       "console connect find stop remove close unsource"},
      {{"-u"}, {.states = {kStopPending, kRunning}}, 1,
       "Stopping Managed Display..\nManaged Display failed to stop.\n"
       "Managed Display removed.\n",
       "console connect find stop pause state pause state remove close unsource"},
      {{"-u"}, {.refuses = "remove stop"}, 0, "DeleteService failed - no remove\n",
       "console connect find stop remove close"},
      {{"-u"}, {.refuses = "find"}, 0, "OpenService failed - no find\n",
       "console connect find close"},
      {{"-s"}, {.states = {kStartPending, kRunning}}, 1,
       "Starting up Managed Display..\nManaged Display started.\n",
       "connect find start pause state pause state close"},
      {{"-s"}, {.states = {kStopped}}, 0,
       "Starting up Managed Display.\nManaged Display failed to start.\n",
       "connect find start pause state close"},
      // A state that cannot be told ends the wait.
      {{"-s"}, {.states = {kStartPending, 0}}, 0,
       "Starting up Managed Display..\nManaged Display failed to start.\n",
       "connect find start pause state pause state close"},
      {{"-s"}, {.refuses = "start"}, 0,
       "Starting up Managed Display.\nManaged Display failed to start: no start\n",
       "connect find start close"},
      {{"-s"}, {.refuses = "connect"}, 0, "OpenSCManager failed - no connect\n", "connect close"},
      {{"-e"}, {.states = {kStopPending, kStopped}}, 1,
       "Stopping Managed Display..\nManaged Display stopped.\n",
       "connect find stop pause state pause state close"},
      {{"-e"}, {.states = {kRunning}}, 0,
       "Stopping Managed Display.\nManaged Display failed to stop.\n",
       "connect find stop pause state close"},
      // A service that does not run is not waited for, and nothing is printed.
      {{"-e"}, {.refuses = "stop"}, 0, "", "connect find stop close"},
      {{"-e"}, {.refuses = "find"}, 0, "OpenService failed - no find\n", "connect find close"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    ManagedHost host(c.script);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int code = parse(host, c.arguments);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    const std::string label = "case " + std::to_string(i);
    EXPECT_EQ(code, c.code) << label;
    EXPECT_EQ(out, c.out) << label;
    EXPECT_EQ(err, c.err) << label;
    EXPECT_EQ(host.transcript, c.transcript) << label;
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
