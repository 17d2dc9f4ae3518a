// "message": what a client must give and what it receives, by the protocol version it announced.
// Guards against text delivered to the wrong users, or in the form of the wrong protocol version.
#include "protocol/ProtocolFixture.h"
#include "protocol/TextMessage.h"

namespace quorvane::test {
namespace {

class MessageTest : public ProtocolTest {};

std::string deliver(int type, const TestClient& from, const std::string& text,
                    const std::string& channel = "/") {
  return "messagedeliver type=" + std::to_string(type) + " from=" + std::to_string(from.id()) +
         " message=\"" + text + "\" channel=\"" + channel + "\"";
}

TEST(VersionTest, AtLeast21) {
  for (const char* version : {"2.1", "2.5", "3.0", "9.9", "2.10", "10.0"}) {
    EXPECT_TRUE(versionAtLeast21(version)) << version;
  }
  for (const char* version : {"2.0", "1.9", "2", "", ".", "2.", "x.y", "21"}) {
    EXPECT_FALSE(versionAtLeast21(version)) << version;
  }
}

TEST_F(MessageTest, ChannelAndPersonalMessagesByVersion) {
  TestClient& newer = member("newer", "127.0.0.2");
  TestClient& peer = member("peer", "127.0.0.4");
  TestClient& older = member("older", "127.0.0.6", "2.0");

  // No "to" for a channel message; an empty channel means the sender's; the sender hears itself;
  // the older client hears nothing of it.
  const std::string hi = deliver(2, newer, R"(hi \"all\"\r\nsecond line)");
  EXPECT_THAT(newer.request(R"(message message="hi \"all\"\r\nsecond line" type=2 channel="")"),
              ElementsAre(hi));
  EXPECT_THAT(peer.linesBeforePong(), ElementsAre(hi));
  EXPECT_THAT(older.linesBeforePong(), IsEmpty());

  // A personal message reaches the older client; the sender gets no copy.
  EXPECT_THAT(newer.request(R"(message to=3 message=tail\\x type=1 channel="")"), IsEmpty());
  EXPECT_THAT(newer.request(R"(message to=2 message="p" type=1 channel="/else/")"), IsEmpty());
  EXPECT_THAT(older.linesBeforePong(), ElementsAre(deliver(1, newer, R"(tail\\x)")));
  EXPECT_THAT(peer.linesBeforePong(), ElementsAre(deliver(1, newer, "p", "/else/")));

  // The older client needs "to" before anything else; it never gives a type or a channel.
  EXPECT_THAT(older.request("message"), ElementsAre("error number=110"));
  EXPECT_THAT(older.request(R"(message message="m" type=2 channel="/")"),
              ElementsAre("error number=110"));
  EXPECT_THAT(older.request("message to=1"), ElementsAre("error number=108"));
  EXPECT_THAT(older.request(R"(message to=1 message="old" type=2 channel="/x/")"), IsEmpty());
  EXPECT_THAT(newer.linesBeforePong(), ElementsAre(deliver(1, older, "old")));

  // "protocol" again after login changes the rules both ways.
  EXPECT_THAT(older.request(R"(protocol version="2.1")"), IsEmpty());
  EXPECT_THAT(newer.request(R"(protocol version="2.0")"), IsEmpty());
  EXPECT_THAT(newer.request(R"(message message="m" type=2 channel="")"),
              ElementsAre("error number=110"));
  const std::string now = deliver(2, older, "now");
  EXPECT_THAT(older.request(R"(message message="now" type=2 channel="")"), ElementsAre(now));
  EXPECT_THAT(peer.linesBeforePong(), ElementsAre(now));
  EXPECT_THAT(newer.linesBeforePong(), IsEmpty());
}

TEST_F(MessageTest, FailuresAndSilentDrops) {
  TestClient& newer = member("newer", "127.0.0.2");
  TestClient& peer = member("peer", "127.0.0.4");
  EXPECT_THAT(newer.request(R"(message to=2 type=1 channel="")"), ElementsAre("error number=108"));
  EXPECT_THAT(newer.request(R"(message message="m")"), ElementsAre("error number=112"));
  EXPECT_THAT(newer.request(R"(message message="m" type=two channel="")"),
              ElementsAre("error number=112"));
  EXPECT_THAT(newer.request(R"(message message="m" type=2)"), ElementsAre("error number=105"));
  // Unknown types, unknown users and unknown channels: no reply, no delivery.
  EXPECT_THAT(newer.request(R"(message to=2 message="m" type=3 channel="")"), IsEmpty());
  EXPECT_THAT(newer.request(R"(message to=99 message="m" type=1 channel="")"), IsEmpty());
  EXPECT_THAT(newer.request(R"(message to=x message="m" type=1 channel="")"), IsEmpty());
  EXPECT_THAT(newer.request(R"(message message="m" type=2 channel="/none/")"), IsEmpty());
  EXPECT_THAT(peer.linesBeforePong(), IsEmpty());
  // A channel message from outside the channel reaches its members.
  peer.request(joinCommand("/b/"));
  newer.linesBeforePong();
  EXPECT_THAT(newer.request(R"(message message="knock" type=2 channel="/b/")"), IsEmpty());
  EXPECT_THAT(peer.linesBeforePong(), ElementsAre(deliver(2, newer, "knock", "/b/")));
}

}  // namespace
}  // namespace quorvane::test
