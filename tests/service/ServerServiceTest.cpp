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

TEST_F(ServerServiceTest, AFailedStartIsTheLastEntryOfTheLog) {
  Socket taken;
  ASSERT_TRUE(taken.create(0, Socket::Stream, "127.0.0.1"));
  ASSERT_TRUE(taken.listen(1));
  int hostPort = taken.localPort();
  int soundPort = test::probeFreeDatagramPort();
  writeFile(settings_, settingsDocument(hostPort, soundPort, true));
  fs::path logFile = dir_ / "server.log";
  useLog(logFile);

  const std::string expected = "Unable to launch server using TCP port " +
                               std::to_string(hostPort) + " UDP port " +
                               std::to_string(soundPort) + ".";
  Runner runner(service_);
  ASSERT_TRUE(test::waitFor(
      [&] { return readFile(logFile).find(expected) != std::string::npos; }));
  std::string content = readFile(logFile);
  ASSERT_GE(content.size(), expected.size() + 1);
  EXPECT_EQ(content.substr(content.size() - expected.size() - 1), expected + "\n");
  EXPECT_FALSE(runner.returned()) << "the run goes on after a failed start";

  service_.stop();
  EXPECT_TRUE(runner.waitForReturn());
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
    writeFile(settings_, std::string("<quorvane><hosting>") + c.elements + "</hosting></quorvane>");
    ServerSettings file;
    ASSERT_TRUE(file.loadFile(settings_.string()));
    Channel root("");
    const ServerService::Settings read = ServerService::readValues(file, root);
    EXPECT_EQ(read.voiceAddressCheck, c.check) << c.elements;
    EXPECT_EQ(read.limits.commandLimit, c.commandLimit) << c.elements;
    EXPECT_EQ(read.limits.trusted.size(), c.trusted) << c.elements;
    EXPECT_EQ(read.problems.size(), c.reported) << c.elements;
  }
}

}  // namespace
}  // namespace quorvane
