// The dispatch of received lines: terminators, command words, letter case, unknown words, and the
// state checks that every command makes before it reads a parameter.
// Guards against lines cut wrongly, words matched in the wrong case, and commands run in the wrong
// state.
#include "protocol/ProtocolFixture.h"

namespace quorvane::test {
namespace {

using namespace std::string_literals;

class DispatchTest : public ProtocolTest {
 protected:
  DispatchTest() : ProtocolTest(false) {}
};

const char* const kError204 = "error number=204";

TEST_F(DispatchTest, LineEndsAndCommandWordsInAnyCase) {
  TestClient& c = connect();
  // A lone LF is too short to be a line; "x" LF and a bare CR LF are lines with unknown words.
  ASSERT_TRUE(c.sendRaw("\n"));
  EXPECT_THAT(c.linesBeforePong(), IsEmpty());
  ASSERT_TRUE(c.sendRaw("x\n\r\n"));
  EXPECT_THAT(c.linesBeforePong(), ElementsAre(kError204, kError204));
  // The command word runs to the first blank: a leading blank leaves it empty.
  for (const char* line : {" ping", "pingx", "ping=1", "hello", "pong", "welcome id=1"}) {
    EXPECT_THAT(c.request(line), ElementsAre(kError204)) << line;
  }
  // LF alone ends a line as CR LF does; anything after the word is ignored by "ping".
  ASSERT_TRUE(c.sendRaw("ping\nping x=\"open\r\n"));
  EXPECT_EQ(c.nextLine(), "pong");
  EXPECT_EQ(c.nextLine(), "pong");
  // A NUL ends the line's text: "pi" is unknown, the second line is a ping.
  ASSERT_TRUE(c.sendRaw("pi\0ng\r\nping\0garbage\r\n"s));
  EXPECT_EQ(c.nextLine(), kError204);
  EXPECT_EQ(c.nextLine(), "pong");
  EXPECT_THAT(c.linesBeforePong(), IsEmpty());

  // Words fold case, keys do not.
  for (const char* line : {"PING", "PiNg"}) {
    ASSERT_TRUE(c.sendLine(line));
    EXPECT_EQ(c.nextLine(), "pong") << line;
  }
  EXPECT_THAT(c.request("protocol Version=\"2.1\""), ElementsAre("error number=104"));
  EXPECT_THAT(c.request("PROTOCOL version=\"2.1\""), IsEmpty());
  // The version is stored now: "admin" no longer asks for it, and succeeds silently.
  EXPECT_THAT(c.request("ADMIN"), ElementsAre("error number=113"));
  EXPECT_THAT(c.request("admin username=\"root\""), ElementsAre("error number=102"));
  EXPECT_THAT(c.request("admin username=\"root\" password=\"pw\""), IsEmpty());
  EXPECT_THAT(c.request("WhoAmI"), ElementsAre(::testing::StartsWith("youare id=1 ")));
}

TEST_F(DispatchTest, StateIsCheckedBeforeParameters) {
  TestClient& c = connect();
  // Before login every command that needs it answers 402, with or without its parameters.
  for (const char* line :
       {"changenick", "changenick nick=\"x\"", "changestatus",
        "changestatus statusmode=1 statusmessage=\"\"", "join",
        "join channel=\"/\" password=\"\" topic=\"\"", "pwc", "message",
        "message to=1 message=\"m\" type=1 channel=\"\"", "kick", "kick id=1 channel=\"/\""}) {
    EXPECT_THAT(c.request(line), ElementsAre("error number=402")) << line;
  }
  // "connect" before the voice hello is 403 whatever else is wrong, also before "protocol".
  const std::string connect =
      "connect nick=\"a\" password=\"\" bandmode=1 framesize=320 encodedframesize=20 fpp=2";
  EXPECT_THAT(c.request("connect"), ElementsAre("error number=403"));
  EXPECT_THAT(c.request(connect), ElementsAre("error number=403"));
  EXPECT_THAT(c.request("admin username=\"root\" password=\"pw\""),
              ElementsAre("error number=401"));
  ASSERT_TRUE(c.confirmVoice());
  EXPECT_THAT(c.request("connect nick=\"a\""), ElementsAre("error number=401"));
  EXPECT_THAT(c.request("protocol"), ElementsAre("error number=104"));
  EXPECT_THAT(c.request("protocol version=\"2.1\""), IsEmpty());
  EXPECT_THAT(c.request("connect"), ElementsAre("error number=101"));
  EXPECT_THAT(c.request(connect).front(), ::testing::StartsWith("accepted id=1 "));
  EXPECT_THAT(c.request("connect"), ElementsAre("error number=400"));
  EXPECT_THAT(c.request("pwc"), ElementsAre("pwc  channel=\"/\""));
}

}  // namespace
}  // namespace quorvane::test
