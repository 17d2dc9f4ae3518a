// The built tools run whole: a short load run, the attack tool's and the bench's quick runs, and
// the command lines and servers they refuse.
// Guards against a tool that reports faults that are not there or none when there are, misses a
// measurement or scenario, or runs on a command line it cannot use.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "server/Channel.h"
#include "support/TestServer.h"
#include "ToolProcess.h"

namespace quorvane {
namespace {

using test::TestServer;
using test::ToolProcess;

// The figures of a quick run mean nothing; the run has a bound of its own, this one is generous.
constexpr std::chrono::seconds kToolRun{150};

// The parts the tool did not print, followed by all it printed; empty when every part is there.
std::string missing(const ToolProcess& run, std::initializer_list<const char*> parts) {
  const std::string printed = run.output() + run.errors();
  std::string absent;
  for (const char* part : parts) {
    if (printed.find(part) == std::string::npos) absent += std::string("[") + part + "] ";
  }
  return absent.empty() ? absent : absent + "in:\n" + printed;
}

std::vector<std::string> serverPorts(TestServer& server) {
  return {"--port", std::to_string(server.hostPort()), "--sound-port",
          std::to_string(server.soundPort())};
}

TEST(ToolRunTest, ShortLoadRunFindsNoFault) {
  // /soak/0/ to /soak/9/, as the soak run's settings file has them.
  auto root = std::make_unique<Channel>("");
  Channel* soak = root->addChild(std::make_unique<Channel>("soak"));
  for (int k = 0; k < 10; ++k) soak->addChild(std::make_unique<Channel>(std::to_string(k)));
  // Every defence on. At an action every 100 ms, about two thirds of them lines that reach other
  // users, each client sends about 7 of those a second: more than the 2 a connection may by
  // default, within the 10 of its address (each client has one of its own).
  TestServer server([](VoiceServer& s) {
    ServerLimits limits;
    limits.messageLimit = 20;
    limits.messageBurst = 20;
    s.setLimits(limits);
  }, root.get());
  ASSERT_TRUE(server.started());
  std::vector<std::string> arguments = serverPorts(server);
  for (const char* word : {"--clients", "20", "--seconds", "3", "--ramp-seconds", "0.5",
                           "--interval-ms", "100", "--report-interval", "1", "--seed", "7"}) {
    arguments.push_back(word);
  }
  ToolProcess run(QUORVANE_LOAD_PROGRAM, arguments);
  EXPECT_EQ(run.wait(kToolRun), 0) << run.output() << run.errors();
  EXPECT_EQ(missing(run, {"protocol errors: 0\n", "result: PASS"}), "");
  // Messages were checked, and voice between members of one channel, each client's from its
  // connection's address, got through the server's checks.
  for (const char* none : {"messages checked: 0 ", "voice datagrams: sent 0,", ", received 0,"}) {
    EXPECT_EQ(run.output().find(none), std::string::npos) << none << "\n" << run.output();
  }
}

TEST(ToolRunTest, QuickAttackMakesEveryMeasurement) {
  ToolProcess run(QUORVANE_ATTACK_PROGRAM, {"--quick", "--server", QUORVANE_PROGRAM});
  EXPECT_EQ(run.wait(kToolRun), 0) << run.output() << run.errors();
  EXPECT_EQ(missing(run, {"(1) ", "\"changenick\"", "1.9 kB messages", "joins that create", "(2) ",
                          "  victim: ", "(3) ", "  logins from 127.0.0.7", "(4) ",
                          "resident memory + Send-Q", "(5) ", "wrong passwords answered",
                          "The log's growth", "targets: ", "every measurement completed"}),
            "");
  EXPECT_EQ(run.output().find("FAILED"), std::string::npos) << run.output();
}

TEST(ToolRunTest, QuickBenchCompletesEveryScenario) {
  ToolProcess run(QUORVANE_BENCH_PROGRAM,
                  {"--quick", "--repeat", "1", "--server", QUORVANE_PROGRAM, "--relay",
                   QUORVANE_RELAY_BASELINE, "--ping", QUORVANE_PING_BASELINE, "--load",
                   QUORVANE_LOAD_PROGRAM});
  EXPECT_EQ(run.wait(kToolRun), 0) << run.output() << run.errors();
  EXPECT_EQ(missing(run, {"(1) ", "(2) ", "(3) ", "(4) ", "(5) ", "(6) ", "(7) ", "(8) ",
                          "every run completed"}),
            "");
  EXPECT_EQ(run.output().find("FAILED"), std::string::npos) << run.output();
}

// A command line a tool cannot run is refused with exit code 2 and the usage before anything
// starts; the load tool fails, with the reason, on a server without the channels it needs.
TEST(ToolRunTest, RefusesWhatItCannotRun) {
  TestServer server;
  ASSERT_TRUE(server.started());
  std::vector<std::string> load = serverPorts(server);
  load.insert(load.end(), {"--clients", "2", "--seconds", "1", "--ramp-seconds", "0"});
  struct Case {
    const char* program;
    std::vector<std::string> arguments;
    int code;
    const char* printed;
  };
  const Case cases[] = {
      {QUORVANE_CLI_PROGRAM, {"--nick", "x", "--exec", "/msg x hello"}, 2, "\nusage: quorvane-cli"},
      {QUORVANE_CLI_PROGRAM, {"--nick"}, 2, "\nusage: quorvane-cli"},
      {QUORVANE_CLI_PROGRAM, {"--help"}, 0, "usage: quorvane-cli"},
      {QUORVANE_LOAD_PROGRAM, {"--frobnicate", "1"}, 2, "\nusage: quorvane-load"},
      {QUORVANE_LOAD_PROGRAM, load, 1, "needs static channels"},
      {QUORVANE_ATTACK_PROGRAM, {"--port", "10300"}, 2, "\nusage: quorvane-attack"},
      {QUORVANE_BENCH_PROGRAM, {"--frobnicate", "1"}, 2, "\nusage: quorvane-bench"},
  };
  for (const Case& c : cases) {
    ToolProcess run(c.program, c.arguments);
    EXPECT_EQ(run.wait(kToolRun), c.code) << c.program << " " << c.arguments.back();
    EXPECT_EQ(missing(run, {c.printed}), "") << c.program;
  }
}

}  // namespace
}  // namespace quorvane
