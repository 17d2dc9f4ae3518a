// Login, "join", "pwc" and "kick" and the channel and user notifications they cause, per
// connection and in order; linesBeforePong is the barrier that shows nothing else came.
// Guards against notifications of a login, join or kick that are missing, extra, or out of order,
// wrong operator rights and passwords, and channels left behind or pruned wrongly.
#include "protocol/ProtocolFixture.h"

namespace quorvane::test {
namespace {

class ChannelCommandsTest : public ProtocolTest {};

TEST_F(ChannelCommandsTest, LoginSendsTheTreeThenTheRootMembersAndStaticChannelsStay) {
  Channel tree("");
  Channel* lobby = tree.addChild(std::make_unique<Channel>("lobby"));
  lobby->setPassword("pw");
  lobby->setTopic("Lobby");
  lobby->addChild(std::make_unique<Channel>("sub"));
  tree.addChild(std::make_unique<Channel>("music"));
  configure([](VoiceServer& s) { s.setAllowChannelCreation(false); }, &tree);
  TestClient& idle = connect();
  connect();
  TestClient& a = member("a", "127.0.0.3");  // looks like loopback: forwarded with anyone
  connect();
  TestClient& b = connect("127.0.0.4");
  b.login("b");
  EXPECT_THAT(a.linesBeforePong(), ElementsAre(addUserLine(b, "b", "/", true)));

  TestClient& n = connect("127.0.0.2");
  EXPECT_THAT(
      n.login("n"),
      ElementsAre(acceptedLine(n, "n"), channelLine("addchannel", "/"),
                  channelLine("addchannel", "/lobby/", "[]", true, "Lobby"),
                  channelLine("addchannel", "/music/"), channelLine("addchannel", "/lobby/sub/"),
                  addUserLine(a, "a", "/", true), addUserLine(b, "b", "/", false)));
  EXPECT_THAT(a.linesBeforePong(), ElementsAre(addUserLine(n, "n", "/", true)));
  EXPECT_THAT(b.linesBeforePong(), ElementsAre(addUserLine(n, "n", "/", false)));
  // Clients that never logged in hear nothing of it.
  EXPECT_THAT(idle.linesBeforePong(), IsEmpty());

  // Static channels keep their passwords and stay when emptied; none are created here.
  EXPECT_THAT(n.request(joinCommand("/lobby/", "pw")), ElementsAre(joinedLine("/lobby/")));
  EXPECT_THAT(b.request(joinCommand("/lobby/", "PW")),
              ElementsAre(removeUserLine(n), "error number=301"));
  EXPECT_THAT(b.request(joinCommand("/new/")), ElementsAre("error number=304"));
  EXPECT_THAT(b.request(joinCommand("/new/deeper/")), ElementsAre("error number=302"));
  EXPECT_THAT(n.request(joinCommand("/")),
              ElementsAre(joinedLine("/"), addUserLine(a, "a", "/", true),
                          addUserLine(b, "b", "/", false)));
}

TEST_F(ChannelCommandsTest, CreatedChannelsAreAnnouncedAndPrunedBottomUp) {
  TestClient& one = member("one", "127.0.0.2");
  TestClient& two = member("two", "127.0.0.4");
  const std::string added = channelLine("addchannel", "/a/", "[1]", false, "chat");
  EXPECT_THAT(one.request(joinCommand("//a", "", "chat")), ElementsAre(added, joinedLine("/a/")));
  EXPECT_THAT(two.linesBeforePong(), ElementsAre(added, removeUserLine(one)));
  EXPECT_THAT(one.request("pwc"), ElementsAre("pwc  channel=\"/a/\""));
  EXPECT_THAT(two.request("pwc"), ElementsAre("pwc  channel=\"/\""));

  // /a/ keeps its sub-channel when its creator moves down into it.
  const std::string sub = channelLine("addchannel", "/a/b/", "[1]");
  EXPECT_THAT(one.request(joinCommand("/a/b/")), ElementsAre(sub, joinedLine("/a/b/")));
  EXPECT_THAT(two.linesBeforePong(), ElementsAre(sub));

  ASSERT_TRUE(one.sendLine("quit"));
  EXPECT_TRUE(one.waitClosed());
  EXPECT_THAT(two.linesBeforePong(),
              ElementsAre(removeChannelLine("/a/b/"), removeChannelLine("/a/")));
  VoiceServer::Guard guard(voiceServer());
  EXPECT_EQ(voiceServer().rootChannel().childCount(), 0u);
}

TEST_F(ChannelCommandsTest, MembersMeetAndEmptiedChannelsGo) {
  TestClient& one = member("one", "127.0.0.2");
  TestClient& two = member("two", "127.0.0.4");
  TestClient& three = member("three", "127.0.0.6");
  one.request(joinCommand("//a"));
  two.linesBeforePong();
  three.linesBeforePong();

  EXPECT_THAT(two.request(joinCommand("/a/")),
              ElementsAre(joinedLine("/a/"), addUserLine(one, "one", "/a/")));
  EXPECT_THAT(one.linesBeforePong(), ElementsAre(addUserLine(two, "two", "/a/")));
  EXPECT_THAT(three.linesBeforePong(), ElementsAre(removeUserLine(two)));

  // Joining one's own channel again is a leave and an enter for the others.
  EXPECT_THAT(two.request(joinCommand("a")),
              ElementsAre(joinedLine("/a/"), addUserLine(one, "one", "/a/")));
  EXPECT_THAT(one.linesBeforePong(),
              ElementsAre(removeUserLine(two, "/a/"), addUserLine(two, "two", "/a/")));

  EXPECT_THAT(two.request(joinCommand("/")),
              ElementsAre(joinedLine("/"), addUserLine(three, "three")));
  EXPECT_THAT(one.linesBeforePong(), ElementsAre(removeUserLine(two, "/a/")));
  EXPECT_THAT(three.linesBeforePong(), ElementsAre(addUserLine(two, "two")));

  // The last member leaves: everybody hears that /a/ is gone.
  EXPECT_THAT(one.request(joinCommand("/")),
              ElementsAre(joinedLine("/"), addUserLine(two, "two"), addUserLine(three, "three"),
                          removeChannelLine("/a/")));
  for (TestClient* other : {&two, &three}) {
    EXPECT_THAT(other->linesBeforePong(),
                ElementsAre(addUserLine(one, "one"), removeChannelLine("/a/")));
  }
}

TEST_F(ChannelCommandsTest, JoinFailures) {
  TestClient& one = member("one", "127.0.0.2");
  TestClient& two = member("two", "127.0.0.4");
  // All three parameters are needed, also for a channel without a password.
  for (const char* line : {"join password=\"\" topic=\"\"", "join channel=\"/\" topic=\"\"",
                           "join channel=\"/\" password=\"\""}) {
    EXPECT_THAT(one.request(line), ElementsAre("error number=105")) << line;
  }
  one.request(joinCommand("/p/", "pw", "locked"));
  EXPECT_THAT(
      two.linesBeforePong(),
      ElementsAre(channelLine("addchannel", "/p/", "[1]", true, "locked"), removeUserLine(one)));
  EXPECT_THAT(two.request(joinCommand("/p/", "PW")), ElementsAre("error number=301"));
  EXPECT_THAT(two.request("pwc"), ElementsAre("pwc  channel=\"/\""));
  EXPECT_THAT(one.linesBeforePong(), IsEmpty());
  EXPECT_THAT(two.request(joinCommand("/p/", "pw")),
              ElementsAre(joinedLine("/p/"), addUserLine(one, "one", "/p/")));
}

// The server's own (local) user is operator of every channel it enters and needs no password.
TEST_F(ChannelCommandsTest, LocalUserBecomesOperatorAndNeedsNoPassword) {
  TestClient& a = member("a", "127.0.0.2");
  TestClient& local = connect("127.0.0.1");
  EXPECT_THAT(
      local.login("local"),
      ElementsAre(acceptedLine(local, "local"), channelLine("addchannel", "/"),
                  addUserLine(a, "a", "/", true), channelLine("updatechannel", "/", "[2]")));
  EXPECT_THAT(a.linesBeforePong(), ElementsAre(addUserLine(local, "local", "/", true),
                                               channelLine("updatechannel", "/", "[2]")));

  const std::string secret = channelLine("addchannel", "/secret/", "[1]", true, "t");
  EXPECT_THAT(a.request(joinCommand("/secret/", "pw", "t")),
              ElementsAre(secret, joinedLine("/secret/")));
  EXPECT_THAT(local.linesBeforePong(), ElementsAre(secret, removeUserLine(a)));
  const std::string update = channelLine("updatechannel", "/secret/", "[1,2]", true, "t");
  EXPECT_THAT(local.request(joinCommand("/secret/", "wrong")),
              ElementsAre(joinedLine("/secret/"), addUserLine(a, "a", "/secret/", true), update));
  EXPECT_THAT(a.linesBeforePong(),
              ElementsAre(addUserLine(local, "local", "/secret/", true), update));
}

TEST_F(ChannelCommandsTest, KicksNeedTheRightsAndTheKickedHearItBeforeTheClose) {
  TestClient& one = member("one", "127.0.0.2");
  TestClient& two = member("two", "127.0.0.4");
  const std::pair<const char*, const char*> cases[] = {
      {"kick channel=\"/\"", "error number=100"},
      {"kick id=one channel=\"/\"", "error number=100"},
      {"kick id=1", "error number=105"},
      {"kick id=1 channel=\"/nope/\"", "error number=302"},
      {"kick id=1 channel=\"/\"", "error number=303"},  // nobody is an operator of the root
  };
  for (const auto& [line, error] : cases) {
    EXPECT_THAT(two.request(line), ElementsAre(error)) << line;
  }

  TestClient& stranger = connect("127.0.0.6");
  one.request(joinCommand("/a/"));
  two.linesBeforePong();
  // An operator of /a/ may kick only logged-in users of its own channel that exist.
  for (int id : {2, stranger.id(), 99}) {
    EXPECT_THAT(one.request("kick id=" + std::to_string(id) + " channel=\"/a/\""),
                ElementsAre("error number=206"));
  }
  // A kicked user hears it before the close, and everybody else in the channel hears it go.
  TestClient& three = member("three", "127.0.0.8");
  for (TestClient* c : {&two, &three}) c->request(joinCommand("/a/"));
  one.linesBeforePong();
  two.linesBeforePong();
  EXPECT_THAT(one.request("kick id=2 channel=\"/a/\""), ElementsAre(removeUserLine(two, "/a/")));
  EXPECT_EQ(two.nextLine(), "kicked");
  EXPECT_TRUE(two.waitClosed());
  EXPECT_FALSE(two.readLine(std::chrono::milliseconds(0)).has_value());
  EXPECT_THAT(three.linesBeforePong(), ElementsAre(removeUserLine(two, "/a/")));
  // The target is gone from the server at once.
  EXPECT_THAT(one.request("kick id=2 channel=\"/a/\""), ElementsAre("error number=206"));
  // Joining one's own channel again costs its creator the operator status.
  one.request(joinCommand("/a/"));
  EXPECT_THAT(one.request("kick id=4 channel=\"/a/\""), ElementsAre("error number=303"));
}

}  // namespace
}  // namespace quorvane::test
