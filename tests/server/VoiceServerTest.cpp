// The server's life cycle over real sockets: greeting, ids, start failures, stop and its log.
// Guards against ids handed out twice, a failed start reported as success, and clients not told of
// a stop.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "support/ServerTestSupport.h"
#include "support/TestServer.h"

namespace quorvane::test {
namespace {

TEST(VoiceServerTest, WelcomesAtOnceAndHandsOutIdsInRotation) {
  TestServer server([](VoiceServer& s) {
    s.setServerName("Quorvane \"Test\"");
    s.setAllowForwarding(false);
    s.setAllowOperators(false);
  });
  ASSERT_TRUE(server.started());

  // Nothing is sent before the greeting: it comes unasked.
  TestClient first(server.hostPort(), server.soundPort());
  EXPECT_EQ(first.readWelcome(),
            "welcome id=1 servername=\"Quorvane \\\"Test\\\"\" forwarding=0 channels=1 "
            "operators=0 protocol=\"2.1\"");
  auto second = std::make_unique<TestClient>(server.hostPort(), server.soundPort());
  second->readWelcome();
  TestClient third(server.hostPort(), server.soundPort());
  third.readWelcome();
  EXPECT_EQ(second->id(), 2);
  EXPECT_EQ(third.id(), 3);

  second.reset();
  ASSERT_TRUE(waitFor([&] { return !hasUser(server.server(), 2); }));
  // The search goes on after the last id tried: the freed 2 is not handed out again yet.
  TestClient fourth(server.hostPort(), server.soundPort());
  fourth.readWelcome();
  EXPECT_EQ(fourth.id(), 4);
  EXPECT_TRUE(fourth.linesBeforePong().empty());
}

TEST(VoiceServerTest, IdSearchAfterAWrapStartsAtTwo) {
  TestServer server;
  ASSERT_TRUE(server.started());
  {
    VoiceServer::Guard guard(server.server());
    // Nobody is connected: every id is free, so the allocator walks up to the highest one.
    int last = 0;
    for (int i = 0; i < VoiceServer::kMaxUserId && last != VoiceServer::kMaxUserId; ++i) {
      last = server.server().allocateUserId();
    }
    ASSERT_EQ(last, VoiceServer::kMaxUserId);
    EXPECT_EQ(server.server().allocateUserId(), 2);
  }
  TestClient client(server.hostPort(), server.soundPort());
  client.readWelcome();
  EXPECT_EQ(client.id(), 3);
}

TEST(VoiceServerTest, StartRefusesZeroPortsAndASecondStartSilently) {
  LogCapture log;
  TestServer running;
  ASSERT_TRUE(running.started());
  EXPECT_FALSE(running.server().start(probeFreePort(), probeFreeDatagramPort()));
  EXPECT_EQ(running.server().hostPort(), running.hostPort());

  ReactorPool pool;
  VoiceServer server(pool);
  server.setLogSink(&ServerLog::instance());
  server.setLogging(true);
  EXPECT_FALSE(server.start(0, probeFreeDatagramPort()));
  EXPECT_FALSE(server.start(probeFreePort(), 0));
  EXPECT_FALSE(server.running());
  server.stop();  // never started: nothing to do, nothing to log
  EXPECT_TRUE(log.entries().empty());
}

TEST(VoiceServerTest, TakenTcpPortIsLoggedButTheServerRunsItsTimer) {
  TestServer holder;
  ASSERT_TRUE(holder.started());
  LogCapture log;
  std::atomic<int> clockReads{0};
  ReactorPool pool;
  VoiceServer server(pool);
  server.setLogSink(&ServerLog::instance());
  server.setLogging(true);
  server.setTimerPeriod(5);
  server.setClock([&clockReads] {
    ++clockReads;
    return std::time_t{1000};
  });

  EXPECT_FALSE(server.start(holder.hostPort(), probeFreeDatagramPort()));
  EXPECT_TRUE(server.running());
  // Every inactivity pass reads the clock: passes keep coming although a socket failed.
  int afterStart = clockReads;
  EXPECT_TRUE(waitFor([&] { return clockReads >= afterStart + 3; }));
  server.stop();
  EXPECT_FALSE(server.running());

  EXPECT_EQ(log.entries(),
            (Lines{"Error opening TCP socket on port " + std::to_string(holder.hostPort()),
                   "Started Quorvane server.", "Stopped Quorvane server."}));
}

TEST(VoiceServerTest, StopSaysQuitToEveryClientBeforeRemovingAny) {
  LogCapture log;
  Channel tree("");
  tree.addChild(std::make_unique<Channel>("lobby"));
  TestServer server([](VoiceServer& s) { s.setLogging(true); }, &tree);
  ASSERT_TRUE(server.started());

  TestClient alice(server.hostPort(), server.soundPort(), "127.0.0.2");
  alice.login("alice");
  TestClient bob(server.hostPort(), server.soundPort(), "127.0.0.4");
  bob.login("bob");
  TestClient idle(server.hostPort(), server.soundPort());
  idle.readWelcome();
  // Bob's arrival; its exact lines depend on whether bob counts as a local user.
  EXPECT_THAT(alice.linesBeforePong(), testing::Contains(testing::StartsWith("adduser id=2 ")));

  server.stop();
  // Had alice been removed before bob was told to quit, bob would first hear "removeuser".
  for (TestClient* client : {&alice, &bob, &idle}) {
    EXPECT_EQ(client->nextLine(), "quit") << "client " << client->id();
    EXPECT_TRUE(client->waitClosed()) << "client " << client->id();
  }

  EXPECT_FALSE(server.server().running());
  {
    VoiceServer::Guard guard(server.server());
    EXPECT_EQ(server.server().userCount(), 0u);
    EXPECT_EQ(server.server().rootChannel().childCount(), 0u);
    EXPECT_EQ(server.server().rootChannel().userCount(), 0u);
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
