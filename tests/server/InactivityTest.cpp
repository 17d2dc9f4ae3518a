// Inactivity drops and keep-alives, driven from the test thread with a clock moved by hand. The
// timer's own period is an hour, so only the passes the test calls run.
// Guards against dropping a user that spoke in time, keeping one that did not, and keep-alives to
// the wrong users.
#include "protocol/ProtocolFixture.h"

namespace quorvane::test {
namespace {

bool isKeepAlive(const std::optional<Bytes>& received) {
  return received && *received == datagram({3, 2, 0, 0});
}

class InactivityTest : public ProtocolTest {
 protected:
  InactivityTest() : ProtocolTest(false) {}
  void pass() { voiceServer().onTimer(VoiceServer::kTimerId); }
};

TEST_F(InactivityTest, SilenceOfMoreThan180SecondsDropsOnlyLoggedInVoiceGetsKeepAlives) {
  LogCapture log;
  clock_.set(1000);
  configure([this](VoiceServer& s) {
    s.setClock(clock_.function());
    s.setTimerPeriod(3600 * 1000);
    s.setLogging(true);
  });
  TestClient& alice = member("alice", "127.0.0.2");
  TestClient& bob = member("bob", "127.0.0.4");
  TestClient& idle = connect("127.0.0.6");
  TestClient& voiceOnly = connect("127.0.0.8");
  ASSERT_TRUE(voiceOnly.confirmVoice());

  clock_.set(1100);
  bob.linesBeforePong();
  clock_.set(1180);
  pass();
  for (int id = 1; id <= 4; ++id) EXPECT_TRUE(hasUser(voiceServer(), id)) << id;
  EXPECT_TRUE(isKeepAlive(alice.readDatagram()));
  EXPECT_TRUE(isKeepAlive(bob.readDatagram()));
  // Confirmed but not logged in: the next datagram is the answer to a later hello.
  voiceOnly.sendHello(voiceOnly.id());
  EXPECT_EQ(voiceOnly.readDatagram().value_or(Bytes(1))[0], 2);

  clock_.set(1181);
  pass();
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

  // A clock that goes back drops nobody on that pass: 500 s of silence, but the clock stands
  // before the last check. The check moves back with the clock, so the next pass compares
  // against the new time.
  clock_.set(500);
  bob.linesBeforePong();
  clock_.set(1000);
  pass();
  EXPECT_TRUE(hasUser(voiceServer(), bob.id()));
  clock_.set(1001);
  pass();
  EXPECT_TRUE(bob.waitClosed());
}

}  // namespace
}  // namespace quorvane::test
