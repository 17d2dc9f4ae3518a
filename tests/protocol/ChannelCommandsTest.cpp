// "join", "pwc" and "kick" and the channel and user notifications they cause, per connection and
// in order.
#include "protocol/ProtocolFixture.h"

namespace quorvane::test {
namespace {

class ChannelCommandsTest : public ProtocolTest {};

std::string joinLine(const std::string& path, const std::string& password = "",
                     const std::string& topic = "") {
  return "join channel=\"" + path + "\" password=\"" + password + "\" topic=\"" + topic + "\"";
}

TEST_F(ChannelCommandsTest, CreatingJoin) {
  TestClient& one = member("one", "127.0.0.2");
  TestClient& two = member("two", "127.0.0.4");
  const std::string added = "addchannel channel=\"/a/\" protected=0 topic=\"chat\" operators=[1]";
  EXPECT_THAT(one.request(joinLine("/a/", "", "chat")),
              ElementsAre(added, "joined channel=\"/a/\""));
  EXPECT_THAT(two.linesBeforePong(), ElementsAre(added, removeUser(one)));
  EXPECT_THAT(one.request("pwc"), ElementsAre("pwc  channel=\"/a/\""));
  EXPECT_THAT(two.request("pwc"), ElementsAre("pwc  channel=\"/\""));
}

TEST_F(ChannelCommandsTest, MembersMeetAndEmptiedChannelsGo) {
  TestClient& one = member("one", "127.0.0.2");
  TestClient& two = member("two", "127.0.0.4");
  TestClient& three = member("three", "127.0.0.6");
  one.request(joinLine("//a"));
  two.linesBeforePong();
  three.linesBeforePong();

  EXPECT_THAT(two.request(joinLine("/a/")),
              ElementsAre("joined channel=\"/a/\"", addUser(one, "one", "/a/")));
  EXPECT_THAT(one.linesBeforePong(), ElementsAre(addUser(two, "two", "/a/")));
  EXPECT_THAT(three.linesBeforePong(), ElementsAre(removeUser(two)));

  // Joining one's own channel again is a leave and an enter for the others.
  EXPECT_THAT(two.request(joinLine("a")),
              ElementsAre("joined channel=\"/a/\"", addUser(one, "one", "/a/")));
  EXPECT_THAT(one.linesBeforePong(),
              ElementsAre(removeUser(two, "/a/"), addUser(two, "two", "/a/")));

  EXPECT_THAT(two.request(joinLine("/")),
              ElementsAre("joined channel=\"/\"", addUser(three, "three")));
  EXPECT_THAT(one.linesBeforePong(), ElementsAre(removeUser(two, "/a/")));
  EXPECT_THAT(three.linesBeforePong(), ElementsAre(addUser(two, "two")));

  // The last member leaves: everybody hears that /a/ is gone.
  EXPECT_THAT(one.request(joinLine("/")),
              ElementsAre("joined channel=\"/\"", addUser(two, "two"), addUser(three, "three"),
                          "removechannel channel=\"/a/\""));
  EXPECT_THAT(two.linesBeforePong(),
              ElementsAre(addUser(one, "one"), "removechannel channel=\"/a/\""));
  EXPECT_THAT(three.linesBeforePong(),
              ElementsAre(addUser(one, "one"), "removechannel channel=\"/a/\""));
}

TEST_F(ChannelCommandsTest, JoinFailures) {
  TestClient& one = member("one", "127.0.0.2");
  TestClient& two = member("two", "127.0.0.4");
  // All three parameters are needed, also for a channel without a password.
  EXPECT_THAT(one.request("join password=\"\" topic=\"\""), ElementsAre("error number=105"));
  EXPECT_THAT(one.request("join channel=\"/\" topic=\"\""), ElementsAre("error number=105"));
  EXPECT_THAT(one.request("join channel=\"/\" password=\"\""), ElementsAre("error number=105"));
  EXPECT_THAT(one.request(joinLine("/x/y/")), ElementsAre("error number=302"));

  one.request(joinLine("/p/", "pw", "locked"));
  EXPECT_THAT(two.linesBeforePong(),
              ElementsAre("addchannel channel=\"/p/\" protected=1 topic=\"locked\" operators=[1]",
                          removeUser(one)));
  EXPECT_THAT(two.request(joinLine("/p/", "PW")), ElementsAre("error number=301"));
  EXPECT_THAT(two.request("pwc"), ElementsAre("pwc  channel=\"/\""));
  EXPECT_THAT(one.linesBeforePong(), IsEmpty());
  EXPECT_THAT(two.request(joinLine("/p/", "pw")),
              ElementsAre("joined channel=\"/p/\"", addUser(one, "one", "/p/")));
}

TEST_F(ChannelCommandsTest, JoinWithoutChannelCreation) {
  configure([](VoiceServer& s) { s.setAllowChannelCreation(false); });
  TestClient& one = member("one", "127.0.0.2");
  EXPECT_THAT(one.request(joinLine("/new/")), ElementsAre("error number=304"));
  EXPECT_THAT(one.request(joinLine("/new/deeper/")), ElementsAre("error number=302"));
  EXPECT_THAT(one.request(joinLine("/")), ElementsAre("joined channel=\"/\""));
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

  one.request(joinLine("/a/"));
  two.linesBeforePong();
  // An operator of /a/ may kick only users of its own channel, and only users that exist.
  EXPECT_THAT(one.request("kick id=2 channel=\"/a/\""), ElementsAre("error number=206"));
  EXPECT_THAT(one.request("kick id=99 channel=\"/a/\""), ElementsAre("error number=206"));
  EXPECT_THAT(two.request("pwc"), ElementsAre("pwc  channel=\"/\""));
}

TEST_F(ChannelCommandsTest, KickedUserHearsItBeforeTheClose) {
  TestClient& one = member("one", "127.0.0.2");
  TestClient& two = member("two", "127.0.0.4");
  TestClient& three = member("three", "127.0.0.6");
  one.request(joinLine("/a/"));
  two.request(joinLine("/a/"));
  three.request(joinLine("/a/"));
  one.linesBeforePong();
  two.linesBeforePong();

  EXPECT_THAT(one.request("kick id=2 channel=\"/a/\""), ElementsAre(removeUser(two, "/a/")));
  EXPECT_EQ(two.nextLine(), "kicked");
  EXPECT_TRUE(two.waitClosed());
  EXPECT_FALSE(two.readLine(std::chrono::milliseconds(0)).has_value());
  EXPECT_THAT(three.linesBeforePong(), ElementsAre(removeUser(two, "/a/")));
  // The target is gone from the server at once.
  EXPECT_THAT(one.request("kick id=2 channel=\"/a/\""), ElementsAre("error number=206"));
}

}  // namespace
}  // namespace quorvane::test
