// The service run with its settings, and its log. Guards against settings misread (a typo that
// turns a defence off), a settings file lost, a failed start hidden, a stop that does not end the
// run, and log entries lost, torn or forged by a line break, or written through a link.
#include "service/ServerService.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/Channel.h"
#include "service/ServerLog.h"
#include "service/ServerSettings.h"
#include "support/ServerTestSupport.h"
#include "support/TestServer.h"
#include "transport/Socket.h"

namespace quorvane {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;

// True when a client connecting to the port is greeted with "welcome".
bool greets(int port) {
  test::TestClient client(port, port, "127.0.0.1");
  const std::optional<std::string> line = client.readLine();
  return client.connected() && line && line->rfind("welcome", 0) == 0;
}

std::string settingsDocument(int hostPort, int soundPort, bool logging) {
  std::ostringstream text;
  text << "<?xml version=\"1.0\" ?><quorvane version=\"1.1\"><hosting>"
       << "<server-name>Test Server</server-name><hostport>" << hostPort << "</hostport>"
       << "<soundport>" << soundPort << "</soundport><server-logging>" << std::boolalpha
       << logging << "</server-logging></hosting></quorvane>";
  return text.str();
}

// Runs in console mode, where status reports are no-ops, and records its events.
class TestService : public ServerService {
 public:
  explicit TestService(const fs::path& settings) {
    setConsoleMode(true);
    useSettingsFile(settings.string());
  }
  // Called on the run's thread; read once the run has returned.
  void reportEvent(const std::string& text, unsigned type) override {
    events.push_back(text + "|" + std::to_string(type));
  }

  std::vector<std::string> events;
};

// Runs the service on a thread of its own; stops it at the end of the scope.
class Runner {
 public:
  explicit Runner(ServerService& service)
      : service_(service), thread_([this] {
          service_.run(0, nullptr);
          returned_ = true;
        }) {}
  ~Runner() {
    service_.stop();
    thread_.join();
  }
  bool waitForReturn() { return test::waitFor([this] { return returned_.load(); }); }

 private:
  ServerService& service_;
  std::atomic<bool> returned_{false};
  std::thread thread_;
};

class ServerServiceTest : public testing::Test {
 protected:
  void SetUp() override { settings_ = dir_ / ServerService::kSettingsFileName; }
  void TearDown() override { fs::remove_all(dir_); }
  // The settings read from a file whose hosting element holds `elements`, as one line.
  std::string readElements(const std::string& elements) {
    writeFile(settings_, "<quorvane><hosting>" + elements + "</hosting></quorvane>");
    ServerSettings file;
    EXPECT_TRUE(file.loadFile(settings_.string()));
    Channel root("");
    const ServerService::Settings read = ServerService::readValues(file, root);
    std::ostringstream line;
    line << read.voiceAddressCheck << " " << read.limits.commandLimit << " "
         << read.limits.maxChannels << " " << read.limits.trusted.size() << " " << read.statusPort
         << " " << read.statusAddress << " " << read.statusHideProtected << " problems "
         << read.problems.size();
    return line.str();
  }

  fs::path dir_ = test::makeTempDirectory("service");
  fs::path settings_;
};

// A stop that comes before the server exists still ends the run (the programs' tests stop it
// while it serves); a second stop is harmless.
TEST_F(ServerServiceTest, AStopBeforeTheServerExistsStillEndsTheRun) {
  const int hostPort = test::probeFreePort();
  writeFile(settings_, settingsDocument(hostPort, test::probeFreeDatagramPort(), false));
  TestService service(settings_);
  service.stop();
  Runner runner(service);
  EXPECT_TRUE(runner.waitForReturn());
  EXPECT_FALSE(greets(hostPort));
  service.stop();
  EXPECT_TRUE(service.events.empty());
}

// A server that cannot open its ports ends the run by itself, as a failed start, and says why
// on the console and in the event log whether or not logging is on; with logging on the reason
// is the log's last entry.
TEST_F(ServerServiceTest, AFailedStartEndsTheRunAndSaysWhy) {
  Socket takenStream;
  ASSERT_TRUE(takenStream.create(0, Socket::Stream, "127.0.0.1"));
  ASSERT_TRUE(takenStream.listen(1));
  Socket takenDatagram;
  ASSERT_TRUE(takenDatagram.create(0, Socket::Datagram, "127.0.0.1"));
  struct Case {
    int hostPort;
    int soundPort;
    bool logging;
    std::string reason;  // how the reason in parentheses begins
  };
  const int freeStream = test::probeFreePort();
  const int freeDatagram = test::probeFreeDatagramPort();
  const std::vector<Case> cases = {
      {takenStream.localPort(), freeDatagram, true,
       "TCP port " + std::to_string(takenStream.localPort()) + ": "},
      {freeStream, takenDatagram.localPort(), false,
       "UDP port " + std::to_string(takenDatagram.localPort()) + ": "},
      {0, freeDatagram, true, "a port of 0 cannot be served)"},
  };
  test::LogCapture capture;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    ServerLog::instance().useFile(capture.path().string());
    writeFile(settings_, settingsDocument(c.hostPort, c.soundPort, c.logging));
    TestService service(settings_);
    testing::internal::CaptureStderr();
    {
      Runner runner(service);
      EXPECT_TRUE(runner.waitForReturn()) << "the run goes on after a failed start";
    }
    const std::string console = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(service.startFailed());
    const std::vector<std::string> events = service.events;
    ASSERT_EQ(events.size(), 1u);
    const std::string text = events[0].substr(0, events[0].size() - 2);  // without "|1"
    EXPECT_TRUE(events[0].ends_with(").|1")) << events[0];
    EXPECT_TRUE(text.starts_with("Unable to launch server using TCP port " +
                                 std::to_string(c.hostPort) + " UDP port " +
                                 std::to_string(c.soundPort) + " (" + c.reason))
        << text;
    EXPECT_FALSE(text.ends_with(": ).")) << "no reason given";
    EXPECT_EQ(console, text + "\n");
    const std::string content = readFile(capture.path());
    EXPECT_TRUE(c.logging ? content.ends_with(text + "\n") : content.empty()) << content;
    EXPECT_FALSE(c.hostPort == freeStream && greets(freeStream)) << "something is served";
  }
}

// A file with an error, and a link to nowhere, are reported and kept; what was read before the
// error applies, the defaults apply to the rest.
TEST_F(ServerServiceTest, AnUnreadableSettingsFileIsReportedAndKept) {
  const std::string broken = "<quorvane><hosting><server-name>Kept</server-name><oops></hosting>";
  std::vector<std::string> cases = {"broken"};
#ifndef _WIN32
  cases.push_back("dangling link");
#endif
  for (const std::string& kind : cases) {
    SCOPED_TRACE(kind);
    fs::remove(settings_);
    if (kind == "broken") {
      writeFile(settings_, broken);
    } else {
      fs::create_symlink("missing.xml", settings_);
    }
    TestService service(settings_);
    const int hostPort = test::probeFreePort();
    service.setDefaultPorts(hostPort, test::probeFreeDatagramPort());
    testing::internal::CaptureStderr();
    {
      Runner runner(service);
      EXPECT_TRUE(test::waitFor([&] { return greets(hostPort); }));
    }
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string message =
        "Quorvane service failed to read settings file: " + settings_.string() + ". ";
    EXPECT_TRUE(err.starts_with(message) && err.size() > message.size() + 1) << err;
    EXPECT_EQ(service.events, std::vector<std::string>{err.substr(0, err.size() - 1) + "|1"});
    EXPECT_EQ(kind == "broken" ? readFile(settings_) : fs::read_symlink(settings_).string(),
              kind == "broken" ? broken : "missing.xml");
    EXPECT_FALSE(fs::exists(dir_ / "missing.xml"));
  }
}

// A typo in the setting of a defence or of the status endpoint must not turn it off or open it
// wider: it is reported and the default kept; only "false" or a written 0 turns one off.
TEST_F(ServerServiceTest, SettingsKeepTheirDefaultOnATypo) {
  const std::string defaults = "1 50 1000 0 0 127.0.0.1 1 problems ";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", defaults + "0"},
      {"<voice-address-check>FALSE</voice-address-check><command-limit>0</command-limit>",
       "0 0 1000 0 0 127.0.0.1 1 problems 0"},
      {"<voice-address-check>True</voice-address-check><command-limit> 7 </command-limit>",
       "1 7 1000 0 0 127.0.0.1 1 problems 0"},
      {"<voice-address-check>flase</voice-address-check><command-limit>7x</command-limit>",
       defaults + "2"},
      {"<trusted-addresses>127.0.0.1, 10.0.0.1,,bogus 1.2.3</trusted-addresses>",
       "1 50 1000 2 0 127.0.0.1 1 problems 2"},
      {"<status-port>8080</status-port><status-address>0.0.0.0</status-address>"
       "<status-hide-protected>FALSE</status-hide-protected>",
       "1 50 1000 0 8080 0.0.0.0 0 problems 0"},
      {"<status-port>80a</status-port><status-address>localhost</status-address>"
       "<status-hide-protected>no</status-hide-protected>",
       defaults + "3"},
      {"<status-port>65536</status-port><status-address></status-address>", defaults + "2"},
      // More static channels than max-channels allows: all are loaded, and that is told.
      {"<max-channels>2</max-channels><static-channels><channel><name>a</name></channel>"
       "<channel><name>b</name></channel></static-channels>",
       "1 50 2 0 0 127.0.0.1 1 problems 1"},
  };
  for (const auto& [elements, read] : cases) EXPECT_EQ(readElements(elements), read) << elements;
}

std::vector<std::string> splitLines(const std::string& content) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = content.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(content.substr(start, end - start));
  }
  EXPECT_EQ(start, content.size()) << "text after the last line feed";
  return lines;
}

// The messages of the entries in the file, without their prefixes.
std::vector<std::string> messages(const fs::path& file) {
  std::vector<std::string> lines = splitLines(readFile(file));
  for (std::string& line : lines) line.erase(0, ServerLog::prefix(std::tm{}).size());
  return lines;
}

// The process's log, made away from the working directory, in a directory of its own that goes
// with the test.
class ServerLogTest : public testing::Test {
 protected:
  static ServerLog& log() { return ServerLog::instance(); }

  test::LogCapture capture_;
  const fs::path dir_ = capture_.path().parent_path();
};

TEST_F(ServerLogTest, PrefixPadsTheDayWithABlank) {
  std::tm local{};
  local.tm_year = 126;
  local.tm_mday = 1;
  local.tm_hour = 23;
  local.tm_min = 7;
  EXPECT_EQ(ServerLog::prefix(local), "2026/01/ 1 23:07 - ");
  local.tm_mon = 11;
  local.tm_mday = 25;
  local.tm_hour = 0;
  EXPECT_EQ(ServerLog::prefix(local), "2026/12/25 00:07 - ");
}

// A line break inside a message must not start a forged entry.
TEST_F(ServerLogTest, WritesWholeLinesWithTheCurrentTimeAndTruncates) {
  const fs::path file = dir_ / "first.log";
  writeFile(file, "earlier run\r\n");
  log().useFile(file.string());
  EXPECT_EQ(readFile(file), "");

  std::time_t now = std::time(nullptr);
  const std::string before = ServerLog::prefix(*std::localtime(&now));
  log().write("Server started.");
  log().write("");
  log().write("User #3 \"a\r\n2026/01/ 1 00:00 - forged\"");
  now = std::time(nullptr);
  const std::string after = ServerLog::prefix(*std::localtime(&now));

  const std::vector<std::string> expected = {"Server started.", "",
                                             "User #3 \"a\\r\\n2026/01/ 1 00:00 - forged\""};
  const std::vector<std::string> lines = splitLines(readFile(file));
  ASSERT_EQ(lines.size(), expected.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_TRUE(lines[i] == before + expected[i] || lines[i] == after + expected[i]) << lines[i];
  }
}

TEST_F(ServerLogTest, AFileThatCannotBeOpenedDropsEntriesUntilAReopen) {
  const fs::path missing = dir_ / "no-such-directory" / "x.log";
  log().useFile(missing.string());
  log().write("dropped");
  EXPECT_FALSE(fs::exists(missing));
  fs::create_directories(missing.parent_path());
  log().reopen();
  log().write("kept");
  EXPECT_EQ(messages(missing), std::vector<std::string>{"kept"});
}

// Reopens among the writers lose and tear no entry either.
TEST_F(ServerLogTest, ConcurrentWritersAndReopensNeverInterleave) {
  constexpr int kThreads = 8;
  constexpr int kEntries = 300;
  // Long messages, so that a torn write would show.
  auto message = [](int t, int n) {
    return "thread " + std::to_string(t) + " entry " + std::to_string(n) + std::string(200, 'x');
  };
  std::set<std::string> expected;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    for (int n = 0; n < kEntries; ++n) expected.insert(message(t, n));
    writers.emplace_back([t, &message] {
      for (int n = 0; n < kEntries; ++n) log().write(message(t, n));
    });
  }
  std::thread reopener([] {
    for (int n = 0; n < kEntries; ++n) log().reopen();
  });
  for (std::thread& writer : writers) writer.join();
  reopener.join();

  const std::vector<std::string> lines = messages(capture_.path());
  EXPECT_EQ(lines.size(), expected.size());
  EXPECT_TRUE(std::set<std::string>(lines.begin(), lines.end()) == expected);
}

#ifndef _WIN32
// A log that is open can be renamed here; Windows, which has no SIGHUP, never reopens it.
TEST_F(ServerLogTest, ReopenAppendsAndFollowsARenamedLog) {
  const fs::path file = dir_ / "rotated.log";
  const fs::path renamed = dir_ / "rotated.log.1";
  log().useFile(file.string());
  log().write("first");
  log().reopen();
  log().write("second");
  fs::rename(file, renamed);
  log().write("written before the reopen");
  log().reopen();
  log().write("third");
  EXPECT_EQ(messages(renamed),
            (std::vector<std::string>{"first", "second", "written before the reopen"}));
  EXPECT_EQ(messages(file), std::vector<std::string>{"third"});
}

// Root may write a log in a directory the service account can write: whatever that account puts
// at the log's name in place of a plain file is refused, on the first open and on a reopen, and
// the file it points to is neither emptied nor written.
TEST_F(ServerLogTest, AsRootTheLogIsNeverALinkOrAFifo) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  const fs::path target = dir_ / "precious";
  const fs::path nowhere = dir_ / "nowhere";
  writeFile(target, "precious\n");
  const std::vector<std::pair<const char*, std::function<void(const fs::path&)>>> cases = {
      {"symbolic link", [&](const fs::path& at) { fs::create_symlink(target, at); }},
      {"dangling link", [&](const fs::path& at) { fs::create_symlink(nowhere, at); }},
      {"hard link", [&](const fs::path& at) { fs::create_hard_link(target, at); }},
      {"fifo", [](const fs::path& at) { ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); }},
  };
  for (const auto& [kind, make] : cases) {
    SCOPED_TRACE(kind);
    const fs::path at = dir_ / (std::string(kind) + ".log");
    make(at);
    log().useFile(at.string());
    log().write("dropped");
    log().reopen();
    log().write("dropped too");
    EXPECT_EQ(readFile(target), "precious\n");
    EXPECT_FALSE(fs::exists(nowhere));
  }
  const fs::path plain = dir_ / "plain.log";
  log().useFile(plain.string());
  log().write("kept");
  EXPECT_EQ(messages(plain), std::vector<std::string>{"kept"});
}
#endif

}  // namespace
}  // namespace quorvane
