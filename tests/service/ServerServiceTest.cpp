// The service run with its settings. Guards against settings misread or lost, a failed start
// hidden, and a stop that does not end the run.
#include "service/ServerService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/Channel.h"
#include "service/ServerLog.h"
#include "service/ServerSettings.h"
#include "support/Files.h"
#include "support/HttpProbe.h"
#include "support/TestClient.h"
#include "support/TestServer.h"
#include "support/WaitFor.h"
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
       << "<soundport>" << soundPort << "</soundport><server-logging>"
       << (logging ? "true" : "false") << "</server-logging></hosting></quorvane>";
  return text.str();
}

// Runs in console mode, where status reports are no-ops, and records its events.
class TestService : public ServerService {
 public:
  TestService() { setConsoleMode(true); }
  void reportEvent(const std::string& text, unsigned type) override {
    std::lock_guard<std::mutex> guard(lock_);
    events_.push_back(text + "|" + std::to_string(type));
  }
  std::vector<std::string> events() {
    std::lock_guard<std::mutex> guard(lock_);
    return events_;
  }

 private:
  std::mutex lock_;
  std::vector<std::string> events_;
};

// Runs the service on a thread of its own.
class Runner {
 public:
  explicit Runner(ServerService& service)
      : thread_([this, &service] {
          service.run(0, nullptr);
          returned_ = true;
        }) {}
  ~Runner() { thread_.join(); }
  bool waitForReturn() { return test::waitFor([this] { return returned_.load(); }); }
  bool returned() const { return returned_; }

 private:
  std::atomic<bool> returned_{false};
  std::thread thread_;
};

class ServerServiceTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::makeTempDirectory("service");
    settings_ = dir_ / ServerService::kSettingsFileName;
    service_.useSettingsFile(settings_.string());
  }
  void TearDown() override {
    if (logUsed_) log().useFile((dir_ / "missing" / "closed.log").string());
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // The process's log, first made inside the test directory so that no stray file is left in
  // the working directory, then pointed at `file`.
  ServerLog& useLog(const fs::path& file) {
    fs::path previous = fs::current_path();
    fs::current_path(dir_);
    ServerLog& instance = ServerLog::instance();
    fs::current_path(previous);
    instance.useFile(file.string());
    logUsed_ = true;
    return instance;
  }
  static ServerLog& log() { return ServerLog::instance(); }
  // The settings read from a file whose hosting element holds `elements`.
  ServerService::Settings readElements(const std::string& elements) {
    writeFile(settings_, "<quorvane><hosting>" + elements + "</hosting></quorvane>");
    ServerSettings file;
    EXPECT_TRUE(file.loadFile(settings_.string()));
    Channel root("");
    return ServerService::readValues(file, root);
  }
  // A settings file with the ports and the status endpoint's port.
  void writeWithStatus(int hostPort, int statusPort) {
    std::string document = settingsDocument(hostPort, test::probeFreeDatagramPort(), false);
    document.insert(document.find("</hosting>"),
                    "<status-port>" + std::to_string(statusPort) + "</status-port>");
    writeFile(settings_, document);
  }

  fs::path dir_;
  fs::path settings_;
  TestService service_;
  bool logUsed_ = false;
};

TEST_F(ServerServiceTest, RunServesUntilStopReleasesIt) {
  int hostPort = test::probeFreePort();
  int soundPort = test::probeFreeDatagramPort();
  writeFile(settings_, settingsDocument(hostPort, soundPort, false));
  Runner runner(service_);
  ASSERT_TRUE(test::waitFor([&] { return greets(hostPort); }));
  EXPECT_FALSE(runner.returned());

  service_.stop();
  EXPECT_TRUE(runner.waitForReturn());
  EXPECT_FALSE(greets(hostPort));
  service_.stop();  // a second stop is harmless
  EXPECT_TRUE(service_.events().empty());
}

TEST_F(ServerServiceTest, AStopBeforeTheServerExistsStillEndsTheRun) {
  int hostPort = test::probeFreePort();
  writeFile(settings_, settingsDocument(hostPort, test::probeFreeDatagramPort(), false));
  service_.stop();
  Runner runner(service_);
  EXPECT_TRUE(runner.waitForReturn());
  EXPECT_FALSE(greets(hostPort));
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
  fs::path logFile = dir_ / "server.log";
  useLog(logFile);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    log().useFile(logFile.string());
    writeFile(settings_, settingsDocument(c.hostPort, c.soundPort, c.logging));
    TestService service;
    service.useSettingsFile(settings_.string());
    testing::internal::CaptureStderr();
    {
      Runner runner(service);
      EXPECT_TRUE(runner.waitForReturn()) << "the run goes on after a failed start";
    }
    const std::string console = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(service.startFailed());
    const std::string message = "Unable to launch server using TCP port " +
                                std::to_string(c.hostPort) + " UDP port " +
                                std::to_string(c.soundPort) + " (" + c.reason;
    std::vector<std::string> events = service.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].rfind(message, 0), 0u) << events[0];
    EXPECT_EQ(events[0].substr(events[0].size() - 4), ").|1") << events[0];
    const std::string text = events[0].substr(0, events[0].size() - 2);
    if (c.reason.back() == ' ') {
      EXPECT_NE(text, message + ").") << "no reason given";
    }
    EXPECT_EQ(console, text + "\n");
    const std::string content = readFile(logFile);
    if (c.logging) {
      ASSERT_GE(content.size(), text.size() + 1);
      EXPECT_EQ(content.substr(content.size() - text.size() - 1), text + "\n");
    } else {
      EXPECT_EQ(content, "");
    }
    if (c.hostPort == freeStream) {
      EXPECT_FALSE(greets(freeStream)) << "nothing is served";
    }
    service.stop();  // a stop after the run has ended changes nothing
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
    TestService service;
    service.useSettingsFile(settings_.string());
    fs::remove(settings_);
    if (kind == "broken") {
      writeFile(settings_, broken);
    } else {
      fs::create_symlink("missing.xml", settings_);
    }
    int hostPort = test::probeFreePort();
    service.setDefaultPorts(hostPort, test::probeFreeDatagramPort());

    testing::internal::CaptureStderr();
    {
      Runner runner(service);
      EXPECT_TRUE(test::waitFor([&] { return greets(hostPort); }));
      service.stop();
      EXPECT_TRUE(runner.waitForReturn());
    }
    std::string err = testing::internal::GetCapturedStderr();

    const std::string message =
        "Quorvane service failed to read settings file: " + settings_.string() + ". ";
    EXPECT_EQ(err.rfind(message, 0), 0u) << err;
    EXPECT_GT(err.size(), message.size() + 1) << "the reason is missing";
    std::vector<std::string> events = service.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], err.substr(0, err.size() - 1) + "|1");
    if (kind == "broken") {
      EXPECT_EQ(readFile(settings_), broken);
    } else {
      EXPECT_EQ(fs::read_symlink(settings_), "missing.xml");
      EXPECT_FALSE(fs::exists(dir_ / "missing.xml"));
    }
  }
}

// A typo in the setting of a defence must not turn the defence off: it is reported and the
// default kept; only "false" or a written 0 turns one off.
TEST_F(ServerServiceTest, DefenceSettingsKeepTheirDefaultOnATypo) {
  struct Case {
    const char* elements;
    bool check;
    unsigned commandLimit;
    std::size_t trusted;
    std::size_t reported;
  };
  const Case cases[] = {
      {"", true, 50, 0, 0},
      {"<voice-address-check>FALSE</voice-address-check><command-limit>0</command-limit>", false,
       0, 0, 0},
      {"<voice-address-check>True</voice-address-check><command-limit> 7 </command-limit>", true,
       7, 0, 0},
      {"<voice-address-check>flase</voice-address-check><command-limit>7x</command-limit>", true,
       50, 0, 2},
      {"<voice-address-check/><command-limit>-1</command-limit>", true, 50, 0, 2},
      {"<trusted-addresses>127.0.0.1, 10.0.0.1,,bogus 1.2.3</trusted-addresses>", true, 50, 2, 2},
  };
  for (const Case& c : cases) {
    const ServerService::Settings read = readElements(c.elements);
    EXPECT_EQ(read.voiceAddressCheck, c.check) << c.elements;
    EXPECT_EQ(read.limits.commandLimit, c.commandLimit) << c.elements;
    EXPECT_EQ(read.limits.trusted.size(), c.trusted) << c.elements;
    EXPECT_EQ(read.problems.size(), c.reported) << c.elements;
  }
}

}  // namespace
}  // namespace quorvane

namespace quorvane {
namespace {

TEST_F(ServerServiceTest, StatusSettingsTakeTheirDefaultsAndKeepThemOnATypo) {
  struct Case {
    const char* elements;
    unsigned port;
    const char* address;
    bool hide;
    std::size_t reported;
  };
  const Case cases[] = {
      {"", 0, "127.0.0.1", true, 0},
      {"<status-port>8080</status-port><status-address>0.0.0.0</status-address>"
       "<status-hide-protected>FALSE</status-hide-protected>",
       8080, "0.0.0.0", false, 0},
      {"<status-port>80a</status-port><status-address>localhost</status-address>"
       "<status-hide-protected>no</status-hide-protected>",
       0, "127.0.0.1", true, 3},
      {"<status-port>65536</status-port><status-address></status-address>", 0, "127.0.0.1", true,
       2},
  };
  for (const Case& c : cases) {
    const ServerService::Settings read = readElements(c.elements);
    EXPECT_EQ(read.statusPort, c.port) << c.elements;
    EXPECT_EQ(read.statusAddress, c.address) << c.elements;
    EXPECT_EQ(read.statusHideProtected, c.hide) << c.elements;
    EXPECT_EQ(read.problems.size(), c.reported) << c.elements;
  }
}

TEST_F(ServerServiceTest, TheStatusEndpointServesWhileTheServerRuns) {
  const int hostPort = test::probeFreePort();
  const int statusPort = test::probeFreePort();
  writeWithStatus(hostPort, statusPort);
  Runner runner(service_);
  ASSERT_TRUE(test::waitFor([&] { return greets(hostPort); }));
  const std::string answer = test::httpRequest(statusPort, "GET", "/status.json");
  EXPECT_EQ(test::httpStatus(answer), 200);
  EXPECT_EQ(test::httpBody(answer).rfind("{\"name\":\"Test Server\",\"protocol\":\"2.1\"", 0), 0u);
  service_.stop();
  EXPECT_TRUE(runner.waitForReturn());
  EXPECT_EQ(test::httpStatus(test::httpRequest(statusPort, "GET", "/metrics")), 0);
  EXPECT_TRUE(service_.events().empty());
}

TEST_F(ServerServiceTest, AStatusPortInUseIsReportedAndTheServerRunsWithoutIt) {
  const int hostPort = test::probeFreePort();
  Socket taken;
  ASSERT_TRUE(taken.create(0, Socket::Stream, "127.0.0.1"));
  ASSERT_TRUE(taken.listen(1));
  const int statusPort = taken.localPort();
  writeWithStatus(hostPort, statusPort);
  Runner runner(service_);
  ASSERT_TRUE(test::waitFor([&] { return greets(hostPort); }));
  service_.stop();
  EXPECT_TRUE(runner.waitForReturn());
  const std::vector<std::string> events = service_.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].rfind("Quorvane service could not open the status endpoint on 127.0.0.1 port " +
                                std::to_string(statusPort) + ".|",
                            0),
            0u);
}

}  // namespace
}  // namespace quorvane
