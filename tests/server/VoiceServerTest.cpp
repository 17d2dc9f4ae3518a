// The server's life cycle over real sockets: greeting, ids, start failures, stop and its log. A
// port that is taken is tried through the service, which reports the failed start. Guards against
// ids handed out twice, a failed start reported as success, and clients not told of a stop.
#include "protocol/ProtocolFixture.h"

namespace quorvane::test {
namespace {

class VoiceServerTest : public ProtocolTest {
 protected:
  VoiceServerTest() : ProtocolTest(false) {}
};

TEST_F(VoiceServerTest, WelcomesAtOnceAndHandsOutIdsInRotation) {
  configure([](VoiceServer& s) {
    s.setServerName("Quorvane \"Test\"");
    s.setAllowForwarding(false);
    s.setAllowOperators(false);
  });
  {
    TestClient first(server().hostPort(), server().soundPort());
    EXPECT_EQ(first.readWelcome(),
              "welcome id=1 servername=\"Quorvane \\\"Test\\\"\" forwarding=0 channels=1 "
              "operators=0 protocol=\"2.1\"");
    TestClient second(server().hostPort(), server().soundPort());
    second.readWelcome();
    EXPECT_EQ(second.id(), 2);
  }
  ASSERT_TRUE(waitFor([&] { return !hasUser(voiceServer(), 1) && !hasUser(voiceServer(), 2); }));
  // The search goes on after the last id tried: the freed ids are not handed out again yet.
  EXPECT_EQ(connect().id(), 3);
  // After the highest id, the search starts again at 2, although 1 is free.
  {
    VoiceServer::Guard guard(voiceServer());
    int last = 0;
    for (int i = 0; i < VoiceServer::kMaxUserId && last != VoiceServer::kMaxUserId; ++i) {
      last = voiceServer().allocateUserId();
    }
    ASSERT_EQ(last, VoiceServer::kMaxUserId);
    EXPECT_EQ(voiceServer().allocateUserId(), 2);
  }
  // A second start is refused and changes nothing.
  EXPECT_FALSE(voiceServer().start(probeFreePort(), probeFreeDatagramPort()));
  TestClient& wrapped = connect();
  EXPECT_EQ(wrapped.id(), 4);
  EXPECT_THAT(wrapped.linesBeforePong(), IsEmpty());
}

TEST_F(VoiceServerTest, StopSaysQuitToEveryClientBeforeRemovingAny) {
  LogCapture log;
  Channel tree("");
  tree.addChild(std::make_unique<Channel>("lobby"));
  configure([](VoiceServer& s) { s.setLogging(true); }, &tree);
  TestClient& alice = member("alice", "127.0.0.2");
  TestClient& bob = member("bob", "127.0.0.4");
  TestClient& idle = connect();

  server().stop();
  // Had alice been removed before bob was told to quit, bob would first hear "removeuser".
  for (TestClient* client : {&alice, &bob, &idle}) {
    EXPECT_EQ(client->nextLine(), "quit") << "client " << client->id();
    EXPECT_TRUE(client->waitClosed()) << "client " << client->id();
  }
  auto connected = [](const TestClient& c, const std::string& nick) {
    return "User #" + std::to_string(c.id()) + " name: \"" + nick +
           "\" address: " + seenAddress(c) + " port: " + std::to_string(c.voicePort()) +
           " connected.";
  };
  EXPECT_EQ(log.sinceStart(),
            (Lines{"Started Quorvane server.", connected(alice, "alice"), connected(bob, "bob"),
                   "User #1 name: \"alice\" disconnected.", "User #2 name: \"bob\" disconnected.",
                   "User #3 name: \"\" disconnected.", "Stopped Quorvane server."}));
}

}  // namespace
}  // namespace quorvane::test
