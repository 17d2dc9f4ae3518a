// A short quorvane-load run against an in-process server with the channels it expects (and the
// voice address check on): every check passes, voice gets through, and the report says so.
// Guards against a load tool that reports faults that are not there, or none when there are.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "server/Channel.h"
#include "support/TestServer.h"
#include "ToolRun.h"

namespace quorvane {
namespace {

// /soak/0/ to /soak/9/, as the soak run's settings file has them.
std::unique_ptr<Channel> soakChannels() {
  auto root = std::make_unique<Channel>("");
  Channel* soak = root->addChild(std::make_unique<Channel>("soak"));
  for (int k = 0; k < 10; ++k) soak->addChild(std::make_unique<Channel>(std::to_string(k)));
  return root;
}

int runLoad(const std::string& arguments, std::string& output) {
  return test::runTool(QUORVANE_LOAD_PROGRAM, arguments, output);
}

TEST(LoadToolTest, ShortRunFindsNoFault) {
  const std::unique_ptr<Channel> channels = soakChannels();
  // Every defence on. At an action every 100 ms, about two thirds of them lines that reach other
  // users, each client sends about 7 of those a second: more than the 2 a connection may by
  // default, within the 10 of its address (each client has one of its own).
  test::TestServer server([](VoiceServer& s) {
    ServerLimits limits;
    limits.messageLimit = 20;
    limits.messageBurst = 20;
    s.setLimits(limits);
  }, channels.get());
  ASSERT_TRUE(server.started());
  std::string output;
  const int status = runLoad("--port " + std::to_string(server.hostPort()) + " --sound-port " +
                                 std::to_string(server.soundPort()) +
                                 " --clients 20 --seconds 3 --ramp-seconds 0.5 --interval-ms 100"
                                 " --report-interval 1 --seed 7",
                             output);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("protocol errors: 0\n"), std::string::npos) << output;
  EXPECT_NE(output.find("result: PASS"), std::string::npos) << output;
  EXPECT_EQ(output.find("messages checked: 0 "), std::string::npos) << output;
  // Voice between members of one channel, each client's from its connection's address, gets
  // through the server's checks.
  EXPECT_EQ(output.find("voice datagrams: sent 0,"), std::string::npos) << output;
  EXPECT_EQ(output.find(", received 0,"), std::string::npos) << output;
}

TEST(LoadToolTest, ServerWithoutTheChannelsFails) {
  test::TestServer server;
  ASSERT_TRUE(server.started());
  std::string output;
  const int status = runLoad("--port " + std::to_string(server.hostPort()) + " --sound-port " +
                                 std::to_string(server.soundPort()) +
                                 " --clients 2 --seconds 1 --ramp-seconds 0 --interval-ms 50",
                             output);
  EXPECT_EQ(status, 1) << output;
  EXPECT_NE(output.find("needs static channels"), std::string::npos) << output;
}

TEST(LoadToolTest, RejectsUnknownOptions) {
  std::string output;
  EXPECT_EQ(runLoad("--frobnicate 1", output), 2);
  EXPECT_NE(output.find("usage:"), std::string::npos) << output;
}

}  // namespace
}  // namespace quorvane
