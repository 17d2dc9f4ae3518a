// Server operations end to end: login, joining, pruning, operators, kicks and text delivery, each
// checked as the exact lines every client receives, in order. linesBeforePong is the barrier: a
// client's ping is handled after every command that came before it, so the lines before its pong
// are all that client will get from those commands.
// Guards against a login or join whose notifications are missing, extra or out of order, wrong
// operator rights, and channels left behind.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <regex>

#include "support/ServerTestSupport.h"
#include "support/TestServer.h"

namespace quorvane::test {
namespace {

class ServerOperationsTest : public testing::Test {
 protected:
  void start(const std::function<void(VoiceServer&)>& configure = {},
             const Channel* tree = nullptr) {
    server_ = std::make_unique<TestServer>(configure, tree);
    ASSERT_TRUE(server_->started());
  }
  std::unique_ptr<TestClient> client(const std::string& address = "127.0.0.2") {
    return std::make_unique<TestClient>(server_->hostPort(), server_->soundPort(), address);
  }
  VoiceServer& server() { return server_->server(); }

  std::unique_ptr<TestServer> server_;
};

TEST_F(ServerOperationsTest, LoginSendsTheTreeThenTheRootMembersInIdOrder) {
  // The forward flags follow the clients' addresses.
  if (!loopbackAddressesDistinct()) GTEST_SKIP() << kOneLoopbackAddress;
  Channel tree("");
  Channel* lobby = tree.addChild(std::make_unique<Channel>("lobby"));
  lobby->setPassword("pw");
  lobby->setTopic("Lobby");
  lobby->addChild(std::make_unique<Channel>("sub"));
  tree.addChild(std::make_unique<Channel>("music"));
  start({}, &tree);

  auto idle1 = client(), idle2 = client();
  idle1->readWelcome();
  idle2->readWelcome();
  auto a = client("127.0.0.3");  // looks like loopback: forwarded with anyone
  a->login("a");
  auto idle4 = client();
  idle4->readWelcome();
  auto b = client("127.0.0.4");
  b->login("b");
  ASSERT_EQ(a->id(), 3);
  ASSERT_EQ(b->id(), 5);
  EXPECT_EQ(a->linesBeforePong(), Lines{addUserLine(*b, "b", "/", true)});

  auto n = client("127.0.0.2");
  const Lines login = n->login("n");
  EXPECT_EQ(login,
            (Lines{acceptedLine(*n, "n"), channelLine("addchannel", "/"),
                   channelLine("addchannel", "/lobby/", "[]", true, "Lobby"),
                   channelLine("addchannel", "/music/"), channelLine("addchannel", "/lobby/sub/"),
                   addUserLine(*a, "a", "/", true), addUserLine(*b, "b", "/", false)}));
  EXPECT_EQ(a->linesBeforePong(), Lines{addUserLine(*n, "n", "/", true)});
  EXPECT_EQ(b->linesBeforePong(), Lines{addUserLine(*n, "n", "/", false)});
  // Clients that never logged in hear nothing of it.
  EXPECT_TRUE(idle1->linesBeforePong().empty());
}

// Wrong passwords are logged as failures, with the address of the connection (which the client
// cannot choose), so that guessing shows in the log; "connected." means a login that succeeded.
TEST_F(ServerOperationsTest, ServerPasswordIsComparedExactlyAndFailuresLoggedAsSuch) {
  LogCapture log;
  start([](VoiceServer& s) {
    s.setServerPassword("Secret");
    s.setLogging(true);
  });
  auto c = client();
  EXPECT_EQ(c->login("carl", "2.1", "secret"), Lines{"error number=300"});
  c->sendLine(
      "connect nick=\"carl\" password=\"Secret\" bandmode=1 framesize=320 "
      "encodedframesize=20 fpp=2");
  EXPECT_EQ(c->linesBeforePong(), firstLoginLines(*c, "carl"));
  EXPECT_EQ(log.sinceStart(),
            (Lines{"Started Quorvane server.",
                   "User #1 name: \"carl\" address: " + seenAddress(*c) +
                       " port: " + std::to_string(c->tcpPort()) + " wrong server password.",
                   "User #1 name: \"carl\" address: " + seenAddress(*c) +
                       " port: " + std::to_string(c->voicePort()) + " connected."}));
}

// The README's pattern for log watchers takes the connection's address from the entry, whatever
// the nick holds.
TEST_F(ServerOperationsTest, ReadmePatternFindsTheGuessersAddressWhateverTheNick) {
  if (!loopbackAddressesDistinct()) GTEST_SKIP() << kOneLoopbackAddress;
  std::ifstream readme(QUORVANE_SOURCE_DIR "/README.md");
  std::string pattern;
  for (std::string line; std::getline(readme, line);) {
    if (line.rfind("    ^", 0) == 0 && line.find("wrong server password") != std::string::npos) {
      pattern = line.substr(4);
    }
  }
  ASSERT_FALSE(pattern.empty()) << "no pattern in the README's log section";
  const std::regex failure(pattern, std::regex::extended);

  LogCapture log;
  start([](VoiceServer& s) {
    s.setServerPassword("Secret");
    s.setLogging(true);
  });
  auto c = client("127.0.0.5");
  c->login(R"(x\" address: 10.0.0.1 port: 1 wrong server password.)", "2.1", "guess");
  std::ifstream file(log.path(), std::ios::binary);
  std::vector<std::string> blamed;
  for (std::string line; std::getline(file, line);) {
    std::smatch match;
    if (std::regex_match(line, match, failure)) blamed.push_back(match[1]);
  }
  EXPECT_EQ(blamed, std::vector<std::string>{"127.0.0.5"});
}

// Locality comes from the connection: a hello from 127.0.0.1 does not make a remote client the
// server's own (operator everywhere, no channel passwords).
TEST_F(ServerOperationsTest, HelloFromTheLocalAddressDoesNotMakeARemoteClientLocal) {
  if (!loopbackAddressesDistinct()) GTEST_SKIP() << kOneLoopbackAddress;
  Channel tree("");
  tree.addChild(std::make_unique<Channel>("vault"))->setPassword("pw");
  // With the check on, such a hello is not even answered; without it, it moves the endpoint.
  start([](VoiceServer& s) { s.setVoiceAddressCheck(false); }, &tree);
  auto victim = client("127.0.0.2");
  victim->login("victim");
  TestClient remote(server_->hostPort(), server_->soundPort(), "127.0.0.1", "127.0.0.5");
  const Lines login = remote.login("remote");
  EXPECT_EQ(login, (Lines{acceptedLine(remote, "remote"), channelLine("addchannel", "/"),
                          channelLine("addchannel", "/vault/", "[]", true),
                          addUserLine(*victim, "victim", "/", true)}));
  remote.sendLine("kick id=1 channel=\"/\"");
  remote.sendLine(joinCommand("/vault/", "wrong"));
  EXPECT_EQ(remote.linesBeforePong(), (Lines{"error number=303", "error number=301"}));
}

TEST_F(ServerOperationsTest, EmptiedCreatedChannelsArePrunedBottomUp) {
  start();
  auto a = client("127.0.0.2"), b = client("127.0.0.4");
  a->login("a");
  b->login("b");
  a->linesBeforePong();

  a->sendLine(joinCommand("//a"));
  const std::string channelA = channelLine("addchannel", "/a/", "[1]");
  EXPECT_EQ(a->linesBeforePong(), (Lines{channelA, joinedLine("/a/")}));
  EXPECT_EQ(b->linesBeforePong(), (Lines{channelA, removeUserLine(*a, "/")}));

  // /a/ keeps its sub-channel when its creator moves down into it.
  a->sendLine(joinCommand("/a/b/"));
  const std::string channelB = channelLine("addchannel", "/a/b/", "[1]");
  EXPECT_EQ(a->linesBeforePong(), (Lines{channelB, joinedLine("/a/b/")}));
  EXPECT_EQ(b->linesBeforePong(), Lines{channelB});

  b->sendLine(joinCommand("/x/y/"));
  EXPECT_EQ(b->linesBeforePong(), Lines{"error number=302"});

  a->sendLine("quit");
  EXPECT_TRUE(a->waitClosed());
  EXPECT_EQ(b->linesBeforePong(), (Lines{removeChannelLine("/a/b/"), removeChannelLine("/a/")}));
  VoiceServer::Guard guard(server());
  EXPECT_EQ(server().rootChannel().childCount(), 0u);
}

TEST_F(ServerOperationsTest, StaticChannelsStayAndKeepTheirPasswords) {
  // A local user needs no channel password.
  if (!loopbackAddressesDistinct()) GTEST_SKIP() << kOneLoopbackAddress;
  Channel tree("");
  tree.addChild(std::make_unique<Channel>("lobby"))->setPassword("pw");
  start([](VoiceServer& s) { s.setAllowChannelCreation(false); }, &tree);
  auto a = client("127.0.0.2"), b = client("127.0.0.4");
  a->login("a");
  b->login("b");
  a->linesBeforePong();

  a->sendLine(joinCommand("/lobby/", "pw"));
  EXPECT_EQ(a->linesBeforePong(), Lines{joinedLine("/lobby/")});
  EXPECT_EQ(b->linesBeforePong(), Lines{removeUserLine(*a, "/")});

  b->sendLine(joinCommand("/lobby/", "PW"));
  b->sendLine(joinCommand("/nope/"));
  b->sendLine(joinCommand("/nope/deeper/"));
  EXPECT_EQ(b->linesBeforePong(),
            (Lines{"error number=301", "error number=304", "error number=302"}));

  a->sendLine(joinCommand("/"));
  EXPECT_EQ(a->linesBeforePong(), (Lines{joinedLine("/"), addUserLine(*b, "b", "/")}));
  EXPECT_EQ(b->linesBeforePong(), Lines{addUserLine(*a, "a", "/")});
  VoiceServer::Guard guard(server());
  EXPECT_NE(findChannel(server().rootChannel(), "/lobby/"), nullptr);
}

TEST_F(ServerOperationsTest, LocalUserBecomesOperatorAndNeedsNoPassword) {
  // Needs a client that is not local beside the local one.
  if (!loopbackAddressesDistinct()) GTEST_SKIP() << kOneLoopbackAddress;
  start();
  auto a = client("127.0.0.2");
  a->login("a");
  auto local = client("127.0.0.1");
  const Lines login = local->login("local");
  EXPECT_EQ(login,
            (Lines{acceptedLine(*local, "local"), channelLine("addchannel", "/"),
                   addUserLine(*a, "a", "/", true), channelLine("updatechannel", "/", "[2]")}));
  EXPECT_EQ(a->linesBeforePong(), (Lines{addUserLine(*local, "local", "/", true),
                                         channelLine("updatechannel", "/", "[2]")}));

  a->sendLine(joinCommand("/secret/", "pw", "t"));
  const std::string secret = channelLine("addchannel", "/secret/", "[1]", true, "t");
  EXPECT_EQ(a->linesBeforePong(), (Lines{secret, joinedLine("/secret/")}));
  EXPECT_EQ(local->linesBeforePong(), (Lines{secret, removeUserLine(*a, "/")}));

  local->sendLine(joinCommand("/secret/", "wrong"));
  const std::string update = channelLine("updatechannel", "/secret/", "[1,2]", true, "t");
  EXPECT_EQ(local->linesBeforePong(),
            (Lines{joinedLine("/secret/"), addUserLine(*a, "a", "/secret/", true), update}));
  EXPECT_EQ(a->linesBeforePong(), (Lines{addUserLine(*local, "local", "/secret/", true), update}));
}

}  // namespace
}  // namespace quorvane::test
