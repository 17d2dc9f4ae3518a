// The built program, launched as an administrator would: in the console (-d) or in the
// background (-f) in a directory of its own, stopped with SIGINT or SIGTERM.
// Guards against a program that does not start, serve or stop as an administrator runs it, or that
// loses its settings or log.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/Files.h"
#include "support/TestClient.h"
#include "support/TestServer.h"

namespace quorvane::test {
namespace {

namespace fs = std::filesystem;

// Starts `program` with `arguments` in `dir`, standard output and error going to `console`;
// with a descriptor limit, both the soft and the hard limit are set to it (so the program cannot
// raise it).
pid_t launch(const fs::path& program, const fs::path& dir, std::vector<std::string> arguments,
             const fs::path& console, rlim_t descriptorLimit = 0) {
  arguments.insert(arguments.begin(), program.filename().string());
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(dir.c_str()) != 0) ::_exit(127);
    rlimit limit{descriptorLimit, descriptorLimit};
    if (descriptorLimit != 0 && ::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::_exit(127);
    FILE* out = std::freopen(console.c_str(), "w", stdout);
    if (out == nullptr || ::dup2(::fileno(stdout), 2) < 0) ::_exit(127);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  return pid;
}

// The exit code of `pid` (128 + the signal that ended it), or -1 when it did not end within the
// time-out.
int waitForExit(pid_t pid) {
  int status = 0;
  bool ended = waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; });
  if (!ended) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// One more process of a program, ended with SIGKILL if it still runs at the end of the scope.
class Instance {
 public:
  Instance(const fs::path& program, const fs::path& dir, std::vector<std::string> arguments,
           fs::path console)
      : console_(std::move(console)), pid_(launch(program, dir, std::move(arguments), console_)) {}
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;
  ~Instance() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  void signal(int signo) { ::kill(pid_, signo); }
  int waitExit() {
    int code = waitForExit(pid_);
    if (code != -1) pid_ = -1;
    return code;
  }
  std::string console() const { return readFile(console_); }

 private:
  fs::path console_;
  pid_t pid_;
};

// A copy of the program in a fresh directory (its settings file lies beside it), run there.
class Program {
 public:
  Program() : dir_(fs::temp_directory_path() / ("quorvane-program-" + std::to_string(::getpid()))) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fs::copy_file(QUORVANE_PROGRAM, dir_ / "QuorvaneService");
  }
  ~Program() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    fs::remove_all(dir_);
  }

  const fs::path& dir() const { return dir_; }
  fs::path program() const { return dir_ / "QuorvaneService"; }

  // Starts "QuorvaneService <mode>" with its console going to a file; with a descriptor limit,
  // the program's limit is fixed at it. With -f the process that detaches becomes this one's
  // child (a subreaper adopts it) and the one signalled and waited for; false when it cannot be
  // found.
  bool start(const char* mode = "-d", rlim_t descriptorLimit = 0) {
    const bool background = std::string(mode) == "-f";
    if (background && ::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) return false;
    pid_ = launch(program(), dir_, {mode}, dir_ / "console.txt", descriptorLimit);
    if (!background) return pid_ > 0;
    if (waitExit() != 1) return false;
    pid_ = detached();
    return pid_ > 0;
  }
  void signal(int signo) { ::kill(pid_, signo); }
  // The exit code, or -1 when the process did not end within the time-out.
  int waitExit() {
    int code = waitForExit(pid_);
    if (code != -1) pid_ = -1;
    return code;
  }
  std::string console() const { return readFile(dir_ / "console.txt"); }
  fs::path log() const { return dir_ / "QuorvaneService.log"; }
  // User and system CPU time used so far, in clock ticks.
  long cpuTicks() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 1; i <= 15 && stat >> field; ++i) {
      if (i == 14) utime = std::stol(field);
      if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
  }

 private:
  // The running process whose program is this copy, or -1.
  pid_t detached() const {
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc", error)) {
      if (fs::read_symlink(entry.path() / "exe", error) == dir_ / "QuorvaneService") {
        return static_cast<pid_t>(std::stol(entry.path().filename().string()));
      }
    }
    return -1;
  }

  fs::path dir_;
  pid_t pid_ = -1;
};

TEST(ProgramTest, ConsoleRunServesAClientAndStopsOnSigint) {
  Program program;
  const int hostPort = probeFreePort();
  const int soundPort = probeFreePort();
  std::ofstream(program.dir() / "QuorvaneService.xml")
      << "<?xml version=\"1.0\" ?><quorvane version=\"1.1\"><hosting>"
      << "<server-name>Program Test</server-name><hostport>" << hostPort << "</hostport>"
      << "<soundport>" << soundPort << "</soundport><server-logging>true</server-logging>"
      << "</hosting></quorvane>";
  program.start();

  // The server may need a moment to listen: retry the connection within the patience.
  std::unique_ptr<TestClient> client;
  ASSERT_TRUE(waitFor([&] {
    client = std::make_unique<TestClient>(hostPort, soundPort, "127.0.0.2");
    return client->connected();
  }));
  EXPECT_EQ(client->readWelcome(),
            "welcome id=1 servername=\"Program Test\" forwarding=1 channels=1 operators=1 "
            "protocol=\"2.1\"");
  std::vector<std::string> lines = client->login("admin");
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind("accepted id=1 nick=\"admin\"", 0), 0u) << lines[0];

  program.signal(SIGINT);
  EXPECT_EQ(client->readLine(), std::optional<std::string>("quit"));
  EXPECT_TRUE(client->waitClosed());
  EXPECT_EQ(program.waitExit(), 1);
  const std::string console = program.console();
  EXPECT_EQ(console.rfind("Debugging Quorvane Server.\nOpen-file limit ", 0), 0u) << console;
  EXPECT_NE(console.find(" clients.\nStopping Quorvane Server.\n"), std::string::npos) << console;

  const std::string log = readFile(program.dir() / "QuorvaneService.log");
  const std::string port = std::to_string(client->voicePort());
  for (const std::string& entry :
       {std::string(" clients."), std::string("Started Quorvane server."),
        "User #1 name: \"admin\" address: 127.0.0.2 port: " + port + " connected.",
        std::string("User #1 name: \"admin\" disconnected."),
        std::string("Stopped Quorvane server.")}) {
    EXPECT_NE(log.find(entry + "\n"), std::string::npos) << entry << "\n" << log;
  }
  EXPECT_LT(log.find("disconnected."), log.find("Stopped Quorvane server."));
}

TEST(ProgramTest, AtTheDescriptorLimitNewConnectionsAreRefusedAndOthersServed) {
  Program program;
  const int hostPort = probeFreePort();
  const int soundPort = probeFreePort();
  std::ofstream(program.dir() / "QuorvaneService.xml")
      << "<?xml version=\"1.0\" ?><quorvane><hosting><hostport>" << hostPort
      << "</hostport><soundport>" << soundPort << "</soundport></hosting></quorvane>";
  program.start("-d", 40);

  std::vector<std::unique_ptr<TestClient>> served;
  std::unique_ptr<TestClient> first;
  ASSERT_TRUE(waitFor([&] {
    first = std::make_unique<TestClient>(hostPort, soundPort, "127.0.0.2");
    return first->connected();
  }));
  ASSERT_TRUE(first->readLine().has_value());
  // A line handled before the limit is reached: the undefined-behaviour checker of the sanitizer
  // build checks a call's dynamic type once, with a pipe, which it cannot open at the limit.
  EXPECT_TRUE(first->linesBeforePong().empty());
  served.push_back(std::move(first));
  int refused = 0;
  for (int i = 0; i < 60 && refused < 5; ++i) {
    auto client = std::make_unique<TestClient>(hostPort, soundPort, "127.0.0.2");
    ASSERT_TRUE(client->connected());
    std::optional<std::string> welcome = client->readLine();
    if (welcome) {
      served.push_back(std::move(client));
    } else {
      // Taken with the spare descriptor and closed at once: no welcome, an orderly close.
      EXPECT_TRUE(client->waitClosed());
      ++refused;
    }
  }
  ASSERT_EQ(refused, 5);
  ASSERT_FALSE(served.empty());
  EXPECT_NE(program.console().find("Open-file limit 40: "), std::string::npos);

  // A connection left pending at the limit must not make the loop spin.
  TestClient pending(hostPort, soundPort, "127.0.0.2");
  long before = program.cpuTicks();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LT(program.cpuTicks() - before, 20) << "the event loop spins";
  // Everyone already connected is still served.
  for (auto& client : served) EXPECT_TRUE(client->linesBeforePong().empty());
  program.signal(SIGTERM);
  EXPECT_EQ(program.waitExit(), 1);
}

// With logging off (the default) SIGHUP creates no log either.
TEST(ProgramTest, FirstStartWritesTheDefaultSettingsBesideTheProgram) {
  Program program;
  // The defaults ask for 10300 and 10301, which may be taken here; only the file is checked.
  program.start();
  ASSERT_TRUE(waitFor([&] { return fs::exists(program.dir() / "QuorvaneService.xml"); }));
  program.signal(SIGHUP);
  program.signal(SIGTERM);
  EXPECT_EQ(program.waitExit(), 1);
  const std::string settings = readFile(program.dir() / "QuorvaneService.xml");
  EXPECT_NE(settings.find("<server-name>Quorvane Server</server-name>"), std::string::npos);
  EXPECT_NE(settings.find("<hostport>10300</hostport>"), std::string::npos);
  EXPECT_FALSE(fs::exists(program.dir() / "QuorvaneService.log"));
}

// Against a started program: a login without a password is refused with error 300, one with
// `password` is accepted and sees /lobby/ without a topic.
void expectLogins(int hostPort, int soundPort, const std::string& password) {
  for (const std::string& tried : {std::string(), password}) {
    SCOPED_TRACE("password \"" + tried + "\"");
    std::unique_ptr<TestClient> client;
    ASSERT_TRUE(waitFor([&] {
      client = std::make_unique<TestClient>(hostPort, soundPort, "127.0.0.2");
      return client->connected();
    }));
    std::vector<std::string> lines = client->login("user", "2.1", tried);
    ASSERT_FALSE(lines.empty());
    if (tried.empty()) {
      EXPECT_EQ(lines, std::vector<std::string>{"error number=300"});
      continue;
    }
    EXPECT_EQ(lines[0].rfind("accepted ", 0), 0u) << lines[0];
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "addchannel channel=\"/lobby/\" protected=0 topic=\"\" operators=[]"),
              lines.end());
  }
}

// The settings file is a link: the blank password counts and survives the write-back, which
// goes to the linked file and leaves the link; a topic with a line break is reported, not sent.
TEST(ProgramTest, SettingsThroughALinkKeepBlanksAndLeaveOutLineBreaks) {
  Program program;
  const int hostPort = probeFreePort();
  const int soundPort = probeFreePort();
  const fs::path link = program.dir() / "QuorvaneService.xml";
  const std::string hosting =
      "<hosting><server-password> </server-password><hostport>" + std::to_string(hostPort) +
      "</hostport><soundport>" + std::to_string(soundPort) + "</soundport>"
      "<server-logging>true</server-logging>"
      "<static-channels><channel><name>lobby</name><topic>two\nlines</topic></channel>"
      "</static-channels></hosting></quorvane>";
  fs::create_directory(program.dir() / "real");
  const fs::path target = program.dir() / "real" / "QuorvaneService.xml";
  writeFile(target, "<quorvane version='1.1'>" + hosting);
  fs::create_symlink("real/QuorvaneService.xml", link);
  program.start();

  expectLogins(hostPort, soundPort, " ");

  program.signal(SIGINT);
  EXPECT_EQ(program.waitExit(), 1);
  const std::string report = "Quorvane service ignored the topic of static channel /lobby/ in "
                             "settings file: " + link.string() + ". ";
  EXPECT_NE(program.console().find(report), std::string::npos) << program.console();
  const std::string log = readFile(program.dir() / "QuorvaneService.log");
  EXPECT_NE(log.find(report), std::string::npos) << log;
  ASSERT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::read_symlink(link), "real/QuorvaneService.xml");
  EXPECT_EQ(readFile(target), "<quorvane version=\"1.1\">" + hosting + "\n");
}

// A rotation as logrotate does it: the log is renamed, then SIGHUP makes the server open a new
// file of the old name, appending. The entries before stay in the renamed file, those after go
// to the new one, and the server goes on serving in the console and in the background alike.
TEST(ProgramTest, SighupReopensARenamedLog) {
  for (const char* mode : {"-d", "-f"}) {
    SCOPED_TRACE(mode);
    Program program;
    const int hostPort = probeFreePort();
    const int soundPort = probeFreePort();
    std::ofstream(program.dir() / "QuorvaneService.xml")
        << "<?xml version=\"1.0\" ?><quorvane><hosting><hostport>" << hostPort
        << "</hostport><soundport>" << soundPort << "</soundport>"
        << "<server-logging>true</server-logging></hosting></quorvane>";
    ASSERT_TRUE(program.start(mode));
    const fs::path renamed = program.log().string() + ".1";
    ASSERT_TRUE(waitFor([&] {
      return readFile(program.log()).find("Started Quorvane server.\n") != std::string::npos;
    }));
    fs::rename(program.log(), renamed);
    program.signal(SIGHUP);
    ASSERT_TRUE(waitFor([&] { return fs::exists(program.log()); }));

    TestClient client(hostPort, soundPort, "127.0.0.2");
    ASSERT_TRUE(client.connected());
    client.readWelcome();
    ASSERT_FALSE(client.login("rotated").empty());
    client.sendLine("quit");
    EXPECT_TRUE(client.waitClosed());
    EXPECT_TRUE(waitFor([&] {
      return readFile(program.log()).find("\"rotated\" disconnected.\n") != std::string::npos;
    }));
    program.signal(SIGTERM);
    EXPECT_EQ(program.waitExit(), 1);

    const std::string before = readFile(renamed);
    const std::string after = readFile(program.log());
    EXPECT_NE(before.find("Started Quorvane server.\n"), std::string::npos) << before;
    EXPECT_EQ(before.find("rotated"), std::string::npos) << before;
    EXPECT_EQ(after.find("Started"), std::string::npos) << after;
    EXPECT_NE(after.find("name: \"rotated\" address: 127.0.0.2"), std::string::npos) << after;
    EXPECT_NE(after.find("Stopped Quorvane server.\n"), std::string::npos) << after;
  }
}

// A settings directory with logging on and these ports.
fs::path settingsDirectory(const fs::path& dir, const std::string& name, int hostPort,
                           int soundPort) {
  fs::create_directories(dir);
  writeFile(dir / "QuorvaneService.xml",
            "<quorvane version=\"1.1\"><hosting><server-name>" + name + "</server-name>"
            "<hostport>" + std::to_string(hostPort) + "</hostport><soundport>" +
            std::to_string(soundPort) + "</soundport><server-logging>true</server-logging>"
            "</hosting></quorvane>");
  return dir;
}

// A client of the server on `hostPort` is welcomed by `name` and can log in.
void expectServedBy(int hostPort, int soundPort, const std::string& name) {
  std::unique_ptr<TestClient> client;
  ASSERT_TRUE(waitFor([&] {
    client = std::make_unique<TestClient>(hostPort, soundPort, "127.0.0.2");
    return client->connected();
  }));
  EXPECT_NE(client->readWelcome().find(" servername=\"" + name + "\" "), std::string::npos);
  std::vector<std::string> lines = client->login("user");
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind("accepted ", 0), 0u) << lines[0];
}

// One installed program, two servers at once from two settings directories (-c before and after
// -d); a third on the ports of the first fails at once and says why; each keeps its log in its
// directory, and nothing is written beside the program or in the working directory.
TEST(ProgramTest, SettingsDirectoriesRunServersSideBySideAndATakenPortFailsVisibly) {
  Program program;
  const fs::path work = program.dir() / "work";
  fs::create_directories(work);
  const int hostA = probeFreePort(), soundA = probeFreePort();
  const int hostB = probeFreePort(), soundB = probeFreePort();
  const fs::path a = settingsDirectory(program.dir() / "a", "Server A", hostA, soundA);
  const fs::path b = settingsDirectory(program.dir() / "b", "Server B", hostB, soundB);
  const fs::path c = settingsDirectory(program.dir() / "c", "Server C", hostA, soundA);
  Instance first(program.program(), work, {"-c", a.string(), "-d"}, work / "a.txt");
  Instance second(program.program(), work, {"-d", "-c" + b.string()}, work / "b.txt");
  expectServedBy(hostA, soundA, "Server A");
  expectServedBy(hostB, soundB, "Server B");

  Instance third(program.program(), work, {"-d", "-c", c.string()}, work / "c.txt");
  EXPECT_EQ(third.waitExit(), 2);
  const std::string reason = "Unable to launch server using TCP port " + std::to_string(hostA) +
                             " UDP port " + std::to_string(soundA) + " (TCP port " +
                             std::to_string(hostA) + ": Address already in use; UDP port " +
                             std::to_string(soundA) + ": Address already in use).\n";
  EXPECT_NE(third.console().find(reason), std::string::npos) << third.console();
  const std::string thirdLog = readFile(c / "QuorvaneService.log");
  ASSERT_GE(thirdLog.size(), reason.size());
  EXPECT_EQ(thirdLog.substr(thirdLog.size() - reason.size()), reason) << thirdLog;
  expectServedBy(hostA, soundA, "Server A");

  first.signal(SIGTERM);
  second.signal(SIGINT);
  EXPECT_EQ(first.waitExit(), 1);
  EXPECT_EQ(second.waitExit(), 1);
  for (const fs::path& dir : {a, b}) {
    const std::string log = readFile(dir / "QuorvaneService.log");
    EXPECT_NE(log.find("Started Quorvane server.\n"), std::string::npos) << dir << "\n" << log;
    EXPECT_NE(log.find("Stopped Quorvane server.\n"), std::string::npos) << dir << "\n" << log;
  }
  for (const fs::path& stray : {program.dir() / "QuorvaneService.xml",
                                program.dir() / "QuorvaneService.log",
                                work / "QuorvaneService.xml", work / "QuorvaneService.log"}) {
    EXPECT_FALSE(fs::exists(stray)) << stray;
  }
}

TEST(ProgramTest, ASettingsDirectoryThatIsNoneFailsTheStart) {
  Program program;
  const fs::path missing = program.dir() / "missing";
  Instance instance(program.program(), program.dir(), {"-d", "-c", missing.string()},
                    program.dir() / "console.txt");
  EXPECT_EQ(instance.waitExit(), 2);
  EXPECT_NE(instance.console().find("Quorvane service cannot use settings directory \"" +
                                    missing.string() + "\": it is not a directory.\n"),
            std::string::npos)
      << instance.console();
  EXPECT_FALSE(fs::exists(missing));
}

// -h and -v answer, with the success code, and start nothing: no settings file appears.
TEST(ProgramTest, HelpAndVersionStartNothing) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"-h", "Usage: QuorvaneService [-c DIRECTORY] [-d | -f]\n"},
      {"--help", "Usage: QuorvaneService [-c DIRECTORY] [-d | -f]\n"},
      {"-v", "QuorvaneService (Quorvane Server) " QUORVANE_VERSION "\n"},
      {"--version", "QuorvaneService (Quorvane Server) " QUORVANE_VERSION "\n"},
  };
  Program program;
  for (const auto& [argument, begins] : cases) {
    Instance instance(program.program(), program.dir(), {argument, "-d"},
                      program.dir() / "console.txt");
    EXPECT_EQ(instance.waitExit(), 1) << argument;
    EXPECT_EQ(instance.console().rfind(begins, 0), 0u) << argument << "\n" << instance.console();
    EXPECT_FALSE(fs::exists(program.dir() / "QuorvaneService.xml")) << argument;
  }
}

}  // namespace
}  // namespace quorvane::test
