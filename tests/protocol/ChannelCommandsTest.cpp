// "join", "pwc" and "kick" and the channel and user notifications they cause, per connection and
// in order. Guards against notifications of a join or kick that are missing, extra, or out of
// order, and against kicks without the rights.
#include "protocol/ProtocolFixture.h"

namespace quorvane::test {
namespace {

class ChannelCommandsTest : public ProtocolTest {};

TEST_F(ChannelCommandsTest, CreatingJoin) {
  TestClient& one = member("one", "127.0.0.2");
  TestClient& two = member("two", "127.0.0.4");
  const std::string added = "addchannel channel=\"/a/\" protected=0 topic=\"chat\" operators=[1]";
  EXPECT_THAT(one.request(joinCommand("/a/", "", "chat")),
              ElementsAre(added, "joined channel=\"/a/\""));
  EXPECT_THAT(two.linesBeforePong(), ElementsAre(added, removeUserLine(one)));
  EXPECT_THAT(one.request("pwc"), ElementsAre("pwc  channel=\"/a/\""));
  EXPECT_THAT(two.request("pwc"), ElementsAre("pwc  channel=\"/\""));
}

TEST_F(ChannelCommandsTest, MembersMeetAndEmptiedChannelsGo) {
  TestClient& one = member("one", "127.0.0.2");
  TestClient& two = member("two", "127.0.0.4");
  TestClient& three = member("three", "127.0.0.6");
  one.request(joinCommand("//a"));
  two.linesBeforePong();
  three.linesBeforePong();

  EXPECT_THAT(two.request(joinCommand("/a/")),
              ElementsAre("joined channel=\"/a/\"", addUserLine(one, "one", "/a/")));
  EXPECT_THAT(one.linesBeforePong(), ElementsAre(addUserLine(two, "two", "/a/")));
  EXPECT_THAT(three.linesBeforePong(), ElementsAre(removeUserLine(two)));

  // Joining one's own channel again is a leave and an enter for the others.
  EXPECT_THAT(two.request(joinCommand("a")),
              ElementsAre("joined channel=\"/a/\"", addUserLine(one, "one", "/a/")));
  EXPECT_THAT(one.linesBeforePong(),
              ElementsAre(removeUserLine(two, "/a/"), addUserLine(two, "two", "/a/")));

  EXPECT_THAT(two.request(joinCommand("/")),
              ElementsAre("joined channel=\"/\"", addUserLine(three, "three")));
  EXPECT_THAT(one.linesBeforePong(), ElementsAre(removeUserLine(two, "/a/")));
  EXPECT_THAT(three.linesBeforePong(), ElementsAre(addUserLine(two, "two")));

  // The last member leaves: everybody hears that /a/ is gone.
  EXPECT_THAT(one.request(joinCommand("/")),
              ElementsAre("joined channel=\"/\"", addUserLine(two, "two"), addUserLine(three, "three"),
                          "removechannel channel=\"/a/\""));
  EXPECT_THAT(two.linesBeforePong(),
              ElementsAre(addUserLine(one, "one"), "removechannel channel=\"/a/\""));
  EXPECT_THAT(three.linesBeforePong(),
              ElementsAre(addUserLine(one, "one"), "removechannel channel=\"/a/\""));
}

TEST_F(ChannelCommandsTest, JoinFailures) {
  TestClient& one = member("one", "127.0.0.2");
  TestClient& two = member("two", "127.0.0.4");
  // All three parameters are needed, also for a channel without a password.
  EXPECT_THAT(one.request("join password=\"\" topic=\"\""), ElementsAre("error number=105"));
  EXPECT_THAT(one.request("join channel=\"/\" topic=\"\""), ElementsAre("error number=105"));
  EXPECT_THAT(one.request("join channel=\"/\" password=\"\""), ElementsAre("error number=105"));
  EXPECT_THAT(one.request(joinCommand("/x/y/")), ElementsAre("error number=302"));

  one.request(joinCommand("/p/", "pw", "locked"));
  EXPECT_THAT(two.linesBeforePong(),
              ElementsAre("addchannel channel=\"/p/\" protected=1 topic=\"locked\" operators=[1]",
                          removeUserLine(one)));
  EXPECT_THAT(two.request(joinCommand("/p/", "PW")), ElementsAre("error number=301"));
  EXPECT_THAT(two.request("pwc"), ElementsAre("pwc  channel=\"/\""));
  EXPECT_THAT(one.linesBeforePong(), IsEmpty());
  EXPECT_THAT(two.request(joinCommand("/p/", "pw")),
              ElementsAre("joined channel=\"/p/\"", addUserLine(one, "one", "/p/")));
}

TEST_F(ChannelCommandsTest, JoinWithoutChannelCreation) {
  configure([](VoiceServer& s) { s.setAllowChannelCreation(false); });
  TestClient& one = member("one", "127.0.0.2");
  EXPECT_THAT(one.request(joinCommand("/new/")), ElementsAre("error number=304"));
  EXPECT_THAT(one.request(joinCommand("/new/deeper/")), ElementsAre("error number=302"));
  EXPECT_THAT(one.request(joinCommand("/")), ElementsAre("joined channel=\"/\""));
}

TEST_F(ChannelCommandsTest, KickFailures) {
  TestClient& one = member("one", "127.0.0.2");
  TestClient& two = member("two", "127.0.0.4");
  EXPECT_THAT(two.request("kick channel=\"/\""), ElementsAre("error number=100"));
  EXPECT_THAT(two.request("kick id=one channel=\"/\""), ElementsAre("error number=100"));
  EXPECT_THAT(two.request("kick id=1"), ElementsAre("error number=105"));
  EXPECT_THAT(two.request("kick id=1 channel=\"/nope/\""), ElementsAre("error number=302"));
  // Nobody is an operator of the root.
  EXPECT_THAT(two.request("kick id=1 channel=\"/\""), ElementsAre("error number=303"));

  TestClient& stranger = connect("127.0.0.6");
  one.request(joinCommand("/a/"));
  two.linesBeforePong();
  // An operator of /a/ may kick only logged-in users of its own channel that exist.
  for (int id : {2, stranger.id(), 99}) {
    EXPECT_THAT(one.request("kick id=" + std::to_string(id) + " channel=\"/a/\""),
                ElementsAre("error number=206"));
  }
  EXPECT_THAT(two.request("pwc"), ElementsAre("pwc  channel=\"/\""));
  // Joining one's own channel again costs its creator the operator status.
  two.request(joinCommand("/a/"));
  one.request(joinCommand("/a/"));
  EXPECT_THAT(one.request("kick id=2 channel=\"/a/\""), ElementsAre("error number=303"));
}

TEST_F(ChannelCommandsTest, KickedUserHearsItBeforeTheClose) {
  TestClient& one = member("one", "127.0.0.2");
  TestClient& two = member("two", "127.0.0.4");
  TestClient& three = member("three", "127.0.0.6");
  one.request(joinCommand("/a/"));
  two.request(joinCommand("/a/"));
  three.request(joinCommand("/a/"));
  one.linesBeforePong();
  two.linesBeforePong();

  EXPECT_THAT(one.request("kick id=2 channel=\"/a/\""), ElementsAre(removeUserLine(two, "/a/")));
  EXPECT_EQ(two.nextLine(), "kicked");
  EXPECT_TRUE(two.waitClosed());
  EXPECT_FALSE(two.readLine(std::chrono::milliseconds(0)).has_value());
  EXPECT_THAT(three.linesBeforePong(), ElementsAre(removeUserLine(two, "/a/")));
  // The target is gone from the server at once.
  EXPECT_THAT(one.request("kick id=2 channel=\"/a/\""), ElementsAre("error number=206"));
}

}  // namespace
}  // namespace quorvane::test
