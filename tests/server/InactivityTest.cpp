// Inactivity drops and keep-alives, driven from the test thread with a clock moved by hand. The
// timer's own period is an hour, so only the passes the test calls run.
// Guards against dropping a user that spoke in time, keeping one that did not, and keep-alives to
// the wrong users.
#include <gtest/gtest.h>

#include "support/ServerTestSupport.h"
#include "support/TestServer.h"

namespace quorvane::test {
namespace {

constexpr int kHourMs = 3600 * 1000;

bool isKeepAlive(const std::optional<Bytes>& received) {
  return received && received->size() == 150 && (*received)[0] == 3 && (*received)[1] == 2 &&
         (*received)[2] == 0 && (*received)[3] == 0;
}

TEST(InactivityTest, SilenceOfMoreThan180SecondsDropsAndOnlyLoggedInVoiceGetsKeepAlives) {
  ManualClock clock(1000);
  LogCapture log;
  TestServer server([&clock](VoiceServer& s) {
    s.setClock(clock.function());
    s.setTimerPeriod(kHourMs);
    s.setLogging(true);
  });
  ASSERT_TRUE(server.started());
  TestClient alice(server.hostPort(), server.soundPort(), "127.0.0.2");
  alice.login("alice");
  TestClient bob(server.hostPort(), server.soundPort(), "127.0.0.4");
  bob.login("bob");
  TestClient idle(server.hostPort(), server.soundPort(), "127.0.0.6");
  idle.readWelcome();
  TestClient voiceOnly(server.hostPort(), server.soundPort(), "127.0.0.8");
  voiceOnly.readWelcome();
  voiceOnly.sendHello(voiceOnly.id());
  ASSERT_TRUE(voiceOnly.readDatagram().has_value());
  alice.linesBeforePong();  // every ping so far at 1000

  clock.set(1100);
  bob.linesBeforePong();
  clock.set(1180);
  server.server().onTimer(VoiceServer::kTimerId);
  for (int id = 1; id <= 4; ++id) EXPECT_TRUE(hasUser(server.server(), id)) << id;
  EXPECT_TRUE(isKeepAlive(alice.readDatagram()));
  EXPECT_TRUE(isKeepAlive(bob.readDatagram()));
  // Confirmed but not logged in: the next datagram is the answer to a later hello.
  voiceOnly.sendHello(voiceOnly.id());
  auto reply = voiceOnly.readDatagram();
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ((*reply)[0], 2);

  clock.set(1181);
  server.server().onTimer(VoiceServer::kTimerId);
  for (TestClient* dropped : {&alice, &idle, &voiceOnly}) {
    EXPECT_TRUE(dropped->waitClosed()) << dropped->id();
  }
  EXPECT_TRUE(isKeepAlive(bob.readDatagram()));
  EXPECT_EQ(bob.linesBeforePong(), Lines{removeUserLine(alice, "/")});

  Lines entries = log.sinceStart();
  ASSERT_GE(entries.size(), 6u);
  EXPECT_EQ(Lines(entries.end() - 6, entries.end()),
            (Lines{"User #1 name: \"alice\" dropped after 181 sec for inactivity.",
                   "User #1 name: \"alice\" disconnected.",
                   "User #3 name: \"\" dropped after 181 sec for inactivity.",
                   "User #3 name: \"\" disconnected.",
                   "User #4 name: \"\" dropped after 181 sec for inactivity.",
                   "User #4 name: \"\" disconnected."}));
}

TEST(InactivityTest, AClockThatGoesBackDropsNobodyOnThatPass) {
  ManualClock clock(3000);
  TestServer server([&clock](VoiceServer& s) {
    s.setClock(clock.function());
    s.setTimerPeriod(kHourMs);
  });
  ASSERT_TRUE(server.started());
  TestClient client(server.hostPort(), server.soundPort(), "127.0.0.2");
  client.login("c");

  clock.set(1000);
  client.linesBeforePong();
  // 1000 seconds of silence, but the clock stands before the last check (the start, at 3000).
  const auto pass = [&] {
    VoiceServer::Guard guard(server.server());
    server.server().dropInactiveUsers();
  };
  clock.set(2000);
  pass();
  EXPECT_TRUE(hasUser(server.server(), client.id()));
  // The check moved back with the clock, so the next pass compares against 2000.
  clock.set(2001);
  pass();
  EXPECT_FALSE(hasUser(server.server(), client.id()));
  EXPECT_TRUE(client.waitClosed());
}

}  // namespace
}  // namespace quorvane::test
