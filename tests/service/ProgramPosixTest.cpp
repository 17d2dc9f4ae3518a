// The built program, launched as an administrator would: in the console (-d) or in the
// background (-f), in a directory of its own or with a settings directory (-c), stopped with
// SIGINT or SIGTERM, its log rotated with SIGHUP. Guards against a program that does not start,
// serve or stop as an administrator runs it, that hides a failed start, or that loses or misplaces
// its settings or log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/Files.h"
#include "support/HttpProbe.h"
#include "support/TestClient.h"
#include "support/TestServer.h"
#include "transport/Socket.h"

namespace quorvane::test {
namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;
using testing::Not;
using testing::StartsWith;

// One process of the program, ended with SIGKILL if it still runs at the end of the scope.
class Process {
 public:
  // Starts the program with `arguments` in `dir`, standard output and error going to `console`;
  // with a descriptor limit, both the soft and the hard limit are set to it (so the program
  // cannot raise it).
  Process(const fs::path& program, const fs::path& dir, std::vector<std::string> arguments,
          fs::path console, rlim_t descriptorLimit = 0)
      : console_(std::move(console)) {
    arguments.insert(arguments.begin(), program.filename().string());
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ != 0) return;
    const rlimit limit{descriptorLimit, descriptorLimit};
    if (::chdir(dir.c_str()) != 0 ||
        (descriptorLimit != 0 && ::setrlimit(RLIMIT_NOFILE, &limit) != 0) ||
        std::freopen(console_.c_str(), "w", stdout) == nullptr || ::dup2(::fileno(stdout), 2) < 0) {
      ::_exit(127);
    }
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }

  pid_t pid() const { return pid_; }
  void signal(int signo) { ::kill(pid_, signo); }
  // The exit code (128 + the signal that ended it), or -1 when it did not end within the
  // patience.
  int waitExit() {
    int status = 0;
    if (!waitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; })) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  // With -f: the detached process, adopted by this one (a subreaper), becomes the one signalled
  // and waited for; false when it cannot be found.
  bool followDetached(const fs::path& program) {
    if (waitExit() != 1) return false;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc", error)) {
      if (fs::read_symlink(entry.path() / "exe", error) == program) {
        pid_ = static_cast<pid_t>(std::stol(entry.path().filename().string()));
      }
    }
    return pid_ > 0;
  }
  std::string console() const { return readFile(console_); }
  // User and system CPU time used so far, in clock ticks.
  long cpuTicks() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string field;
    long ticks = 0;
    for (int i = 1; i <= 15 && stat >> field; ++i) {
      if (i >= 14) ticks += std::stol(field);
    }
    return ticks;
  }

 private:
  fs::path console_;
  pid_t pid_ = -1;
};

// A copy of the program in a fresh directory, its settings file beside it unless -c says
// otherwise.
class ProgramTest : public testing::Test {
 protected:
  ProgramTest() : dir_(makeTempDirectory("program")), program_(dir_ / "QuorvaneService") {
    fs::copy_file(QUORVANE_PROGRAM, program_);
  }
  ~ProgramTest() override { fs::remove_all(dir_); }

  // Writes a settings file into `dir` with free ports, logging on, and `more` in hosting.
  void writeSettings(const fs::path& dir, const std::string& more = "") {
    fs::create_directories(dir);
    hostPort_ = probeFreePort();
    soundPort_ = probeFreePort();
    writeFile(dir / "QuorvaneService.xml",
              "<?xml version=\"1.0\" ?><quorvane version=\"1.1\"><hosting><hostport>" +
                  std::to_string(hostPort_) + "</hostport><soundport>" +
                  std::to_string(soundPort_) + "</soundport><server-logging>true" +
                  "</server-logging>" + more + "</hosting></quorvane>");
  }
  std::unique_ptr<Process> start(std::vector<std::string> arguments, rlim_t descriptorLimit = 0) {
    return std::make_unique<Process>(program_, dir_, std::move(arguments), dir_ / "console.txt",
                                     descriptorLimit);
  }
  // A client of the server, retried while the server may still be starting.
  std::unique_ptr<TestClient> connect() {
    std::unique_ptr<TestClient> client;
    EXPECT_TRUE(waitFor([&] {
      client = std::make_unique<TestClient>(hostPort_, soundPort_, "127.0.0.2");
      return client->connected();
    }));
    return client;
  }
  static bool logHas(const fs::path& log, const std::string& text) {
    return waitFor([&] { return readFile(log).find(text) != std::string::npos; });
  }

  fs::path dir_;
  fs::path program_;
  int hostPort_ = 0;
  int soundPort_ = 0;
};

// The console run serves, reports a topic it cannot send and a status port in use, starts a
// fresh log, follows a renamed log on SIGHUP (as logrotate does it), and stops on SIGINT with its
// clients told.
TEST_F(ProgramTest, ConsoleRunServesRotatesItsLogAndStopsOnSigint) {
  Socket taken;
  ASSERT_TRUE(taken.create(0, Socket::Stream, "127.0.0.1") && taken.listen(1));
  writeSettings(dir_, "<server-name>Program Test</server-name><static-channels><channel><name>"
                      "lobby</name><topic>two\nlines</topic></channel></static-channels>"
                      "<status-port>" + std::to_string(taken.localPort()) + "</status-port>");
  const fs::path log = dir_ / "QuorvaneService.log";
  const fs::path rotated = dir_ / "QuorvaneService.log.1";
  writeFile(log, "stale entry\n");
  auto program = start({"-d"});

  auto client = connect();
  EXPECT_EQ(client->readWelcome(),
            "welcome id=1 servername=\"Program Test\" forwarding=1 channels=1 operators=1 "
            "protocol=\"2.1\"");
  const std::vector<std::string> lines = client->login("admin");
  ASSERT_FALSE(lines.empty());
  EXPECT_THAT(lines[0], StartsWith("accepted id=1 nick=\"admin\""));
  EXPECT_THAT(lines, testing::Contains(
                         "addchannel channel=\"/lobby/\" protected=0 topic=\"\" operators=[]"));
  const std::string connected = "User #1 name: \"admin\" address: 127.0.0.2 port: " +
                                std::to_string(client->voicePort()) + " connected.\n";
  ASSERT_TRUE(logHas(log, connected));
  fs::rename(log, rotated);
  program->signal(SIGHUP);
  ASSERT_TRUE(waitFor([&] { return fs::exists(log); }));

  program->signal(SIGINT);
  EXPECT_EQ(client->readLine(), std::optional<std::string>("quit"));
  EXPECT_TRUE(client->waitClosed());
  EXPECT_EQ(program->waitExit(), 1);
  const std::string report = "Quorvane service ignored the topic of static channel /lobby/ in "
                             "settings file: " + (dir_ / "QuorvaneService.xml").string() + ". ";
  const std::string console = program->console();
  EXPECT_THAT(console, StartsWith("Debugging Quorvane Server.\n" + report));
  EXPECT_THAT(console, HasSubstr(" clients.\nQuorvane service could not open the status endpoint "
                                 "on 127.0.0.1 port " + std::to_string(taken.localPort()) +
                                 ".\nStopping Quorvane Server.\n"));

  const std::string before = readFile(rotated);
  for (const std::string& entry : {report, std::string(" clients.\n"),
                                   std::string("Started Quorvane server.\n"), connected}) {
    EXPECT_THAT(before, HasSubstr(entry));
  }
  EXPECT_THAT(before, Not(HasSubstr("stale")));
  EXPECT_THAT(before, Not(HasSubstr("disconnected")));
  const std::string after = readFile(log);
  EXPECT_THAT(after, Not(HasSubstr("Started")));
  const std::size_t left = after.find("User #1 name: \"admin\" disconnected.\n");
  EXPECT_NE(left, std::string::npos) << after;
  EXPECT_GT(after.find("Stopped Quorvane server.\n", left), left) << after;
}

// In the background with a settings directory: the first process returns at once, the second
// leads a session of its own, keeps its files in that directory only, serves its status endpoint,
// reopens its log on SIGHUP, and stops on SIGTERM, the endpoint with it. A second server on its
// ports fails at once and says why, last in its log.
TEST_F(ProgramTest, BackgroundRunKeepsItsFilesInTheSettingsDirectory) {
  const fs::path work = dir_ / "work";
  const fs::path a = dir_ / "a";
  const fs::path c = dir_ / "c";
  fs::create_directories(work);
  fs::create_directories(c);
  const int statusPort = probeFreePort();
  writeSettings(a, "<server-name>Server A</server-name><status-port>" +
                       std::to_string(statusPort) + "</status-port>");
  fs::copy_file(a / "QuorvaneService.xml", c / "QuorvaneService.xml");
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  Process background(program_, work, {"-c", a.string(), "-f"}, work / "a.txt");
  ASSERT_TRUE(background.followDetached(program_));
  // The first process may return before the second has left its session.
  EXPECT_TRUE(waitFor([&] { return ::getsid(background.pid()) == background.pid(); }));
  auto client = connect();
  EXPECT_THAT(client->readWelcome(), HasSubstr(" servername=\"Server A\" "));
  ASSERT_FALSE(client->login("user").empty());
  const std::string status = httpRequest(statusPort, "GET", "/status.json");
  EXPECT_THAT(httpBody(status), StartsWith("{\"name\":\"Server A\",\"protocol\":\"2.1\""));

  ASSERT_TRUE(logHas(a / "QuorvaneService.log", "Started Quorvane server.\n"));
  fs::remove(a / "QuorvaneService.log");
  background.signal(SIGHUP);
  ASSERT_TRUE(waitFor([&] { return fs::exists(a / "QuorvaneService.log"); }));

  Process second(program_, work, {"-d", "-c" + c.string()}, work / "c.txt");
  EXPECT_EQ(second.waitExit(), 2);
  const std::string reason = "Unable to launch server using TCP port " + std::to_string(hostPort_) +
                             " UDP port " + std::to_string(soundPort_) + " (TCP port " +
                             std::to_string(hostPort_) + ": Address already in use; UDP port " +
                             std::to_string(soundPort_) + ": Address already in use).\n";
  EXPECT_THAT(second.console(), HasSubstr(reason));
  EXPECT_THAT(readFile(c / "QuorvaneService.log"), testing::EndsWith(reason));
  EXPECT_EQ(client->request("whoami").size(), 1u) << "the first server no longer serves";

  background.signal(SIGTERM);
  EXPECT_EQ(background.waitExit(), 1);
  EXPECT_EQ(httpStatus(httpRequest(statusPort, "GET", "/metrics")), 0);
  EXPECT_TRUE(logHas(a / "QuorvaneService.log", "Stopped Quorvane server.\n"));
  for (const fs::path& stray : {dir_ / "QuorvaneService.xml", dir_ / "QuorvaneService.log",
                                work / "QuorvaneService.xml", work / "QuorvaneService.log"}) {
    EXPECT_FALSE(fs::exists(stray)) << stray;
  }
}

TEST_F(ProgramTest, AtTheDescriptorLimitNewConnectionsAreRefusedAndOthersServed) {
  writeSettings(dir_);
  auto program = start({"-d"}, 40);
  std::vector<std::unique_ptr<TestClient>> served;
  served.push_back(connect());
  ASSERT_TRUE(served[0]->readLine().has_value());
  // A line handled before the limit is reached: the undefined-behaviour checker of the sanitizer
  // build checks a call's dynamic type once, with a pipe, which it cannot open at the limit.
  EXPECT_TRUE(served[0]->linesBeforePong().empty());
  int refused = 0;
  for (int i = 0; i < 60 && refused < 5; ++i) {
    auto client = std::make_unique<TestClient>(hostPort_, soundPort_, "127.0.0.2");
    ASSERT_TRUE(client->connected());
    if (client->readLine()) {
      served.push_back(std::move(client));
    } else {
      // Taken with the spare descriptor and closed at once: no welcome, an orderly close.
      EXPECT_TRUE(client->waitClosed());
      ++refused;
    }
  }
  ASSERT_EQ(refused, 5);
  EXPECT_THAT(program->console(), HasSubstr("Open-file limit 40: "));

  // A connection left pending at the limit must not make the loop spin.
  TestClient pending(hostPort_, soundPort_, "127.0.0.2");
  const long before = program->cpuTicks();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LT(program->cpuTicks() - before, 20) << "the event loop spins";
  for (auto& client : served) EXPECT_TRUE(client->linesBeforePong().empty());
  program->signal(SIGTERM);
  EXPECT_EQ(program->waitExit(), 1);
}

// The first start writes the default settings beside the program, laid out one element to a line,
// a layout that its own reading leaves as it is; with logging off (the default) SIGHUP creates no
// log either. The default ports may be taken here: only the files are checked.
TEST_F(ProgramTest, FirstStartWritesTheDefaultSettingsBesideTheProgram) {
  auto program = start({"-d"});
  ASSERT_TRUE(waitFor([&] { return fs::exists(dir_ / "QuorvaneService.xml"); }));
  program->signal(SIGHUP);
  program->signal(SIGTERM);
  const int code = program->waitExit();
  EXPECT_TRUE(code == 1 || code == 2) << code;
  const std::string settings = readFile(dir_ / "QuorvaneService.xml");
  EXPECT_THAT(settings, HasSubstr("<server-name>Quorvane Server</server-name>"));
  EXPECT_THAT(settings, HasSubstr("\n        <hostport>10300</hostport>\n"));
  EXPECT_THAT(settings, HasSubstr("<!--\t<channel>\t\t<name>a</name>\t\t<password></password>"
                                  "\t\t<topic></topic>\t</channel>-->"));
  EXPECT_FALSE(fs::exists(dir_ / "QuorvaneService.log"));
}

// A settings directory that is none fails the start at once, says why, and creates nothing.
TEST_F(ProgramTest, ASettingsDirectoryThatIsNoneFailsTheStart) {
  const fs::path missing = dir_ / "missing";
  auto program = start({"-d", "-c", missing.string()});
  EXPECT_EQ(program->waitExit(), 2);
  EXPECT_EQ(program->console(), "Debugging Quorvane Server.\nQuorvane service cannot use settings "
                                "directory \"" + missing.string() + "\": it is not a directory.\n");
  EXPECT_FALSE(fs::exists(dir_ / "QuorvaneService.xml"));
  EXPECT_FALSE(fs::exists(missing));
}

}  // namespace
}  // namespace quorvane::test
