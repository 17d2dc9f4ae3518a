// Greeting, login, presence and leaving: "welcome", "protocol", the voice hello, "connect",
// "whoami", "changenick", "changestatus" and "quit", byte for byte.
// Guards against a login that answers wrongly or stores half a refused request, and presence
// changes sent to the wrong users or escaped wrongly.
#include "protocol/ProtocolFixture.h"

namespace quorvane::test {
namespace {

class HandshakeTest : public ProtocolTest {};

const char* const kConnectBob =
    "connect nick=\"bob\" password=\"\" bandmode=1 framesize=320 encodedframesize=20 fpp=2";

TEST_F(HandshakeTest, HandshakeOnTheWire) {
  TestClient& client = open();
  // Nothing is sent before the greeting: it comes unasked.
  EXPECT_EQ(client.readWelcome(),
            "welcome id=1 servername=\"Quorvane Server\" forwarding=1 channels=1 operators=1 "
            "protocol=\"2.1\"");
  EXPECT_THAT(client.request("protocol version=\"2.1\""), IsEmpty());
  EXPECT_EQ(client.confirmVoice(), datagram({2, 2, 1, 0}));
  const std::string port = std::to_string(client.voicePort());
  EXPECT_THAT(client.request(kConnectBob),
              ElementsAre("accepted id=1 nick=\"bob\" address=\"127.0.0.2\" soundport=" + port +
                              " bandmode=1 framesize=320 encodedframesize=20 fpp=2",
                          "addchannel channel=\"/\" protected=0 topic=\"\" operators=[]"));
}

TEST_F(HandshakeTest, FailedConnectKeepsWhatItStored) {
  configure([](VoiceServer& s) { s.setServerPassword("secret"); });
  TestClient& c = connect();
  ASSERT_TRUE(c.confirmVoice());
  EXPECT_THAT(c.request("protocol version=\"2.1\""), IsEmpty());
  const std::string youare =
      "youare id=1 nick=\"amy\" address=\"127.0.0.2\" soundport=" + std::to_string(c.voicePort());
  // No parameter of a line with an unterminated quoted value can be read.
  EXPECT_THAT(c.request(std::string(kConnectBob) + " note=\"open"),
              ElementsAre("error number=101"));
  EXPECT_THAT(c.request("connect Nick=\"amy\""), ElementsAre("error number=101"));
  EXPECT_THAT(c.request("connect nick=\"amy\""), ElementsAre("error number=102"));
  for (const char* tail : {"", " bandmode=x", " bandmode=1", " bandmode=1 framesize=1.5",
                           " bandmode=1 framesize=320 encodedframesize=+20"}) {
    EXPECT_THAT(c.request(std::string("connect nick=\"amy\" password=\"secret\"") + tail),
                ElementsAre("error number=103"))
        << tail;
  }
  EXPECT_THAT(c.request("whoami"),
              ElementsAre(youare + " bandmode=1 framesize=320 encodedframesize=-1"));
  const std::string noFpp =
      "connect nick=\"amy\" password=\"secret\" bandmode=1 framesize=320 encodedframesize=20";
  EXPECT_THAT(c.request(noFpp), ElementsAre("error number=111"));
  EXPECT_THAT(c.request(noFpp + " fpp=2.0"), ElementsAre("error number=111"));
  EXPECT_THAT(c.request("whoami"),
              ElementsAre(youare + " bandmode=1 framesize=320 encodedframesize=20"));

  // A wrong password leaves the client connected and free to try again.
  EXPECT_THAT(c.request(std::string(kConnectBob)), ElementsAre("error number=300"));
  EXPECT_THAT(c.request("pwc"), ElementsAre("error number=402"));
  EXPECT_THAT(c.request(noFpp + " fpp=2"),
              ElementsAre(acceptedLine(c, "amy"), channelLine("addchannel", "/")));
}

TEST_F(HandshakeTest, PresenceChangesReachOnlyTheOthersWithTheirValuesIntact) {
  TestClient& ann = member("ann", "127.0.0.2");
  TestClient& ben = member("ben", "127.0.0.4");

  EXPECT_THAT(ann.request("changenick"), ElementsAre("error number=101"));
  // A status without its text keeps the mode and tells nobody.
  EXPECT_THAT(ann.request("changestatus statusmode=3"), ElementsAre("error number=108"));
  EXPECT_THAT(ann.request("changestatus statusmode=x statusmessage=\"\""),
              ElementsAre("error number=106"));
  EXPECT_THAT(ben.linesBeforePong(), IsEmpty());
  EXPECT_THAT(ann.request("changenick nick=\"anna\""), IsEmpty());
  EXPECT_THAT(ben.linesBeforePong(), ElementsAre(updateUserLine(ann, "anna", 3, "")));
  EXPECT_THAT(ann.request("changestatus statusmode=5 statusmessage=\"away\""), IsEmpty());
  EXPECT_THAT(ben.linesBeforePong(), ElementsAre(updateUserLine(ann, "anna", 5, "away")));

  // Quotation marks and CR LF travel escaped; a backslash inside and a lone CR as they are.
  EXPECT_THAT(ann.request(R"(changenick nick="say \"hi\"\r\nbye")"), IsEmpty());
  EXPECT_THAT(ann.request(R"(changestatus statusmode=-1 statusmessage="a\"b\r\n")"), IsEmpty());
  EXPECT_THAT(ann.request(R"(changenick nick=back\slash)"), IsEmpty());
  EXPECT_THAT(ann.request("changenick nick=\"c\rr\""), IsEmpty());
  EXPECT_THAT(ben.linesBeforePong(),
              ElementsAre(updateUserLine(ann, R"(say \"hi\"\r\nbye)", 5, "away"),
                          updateUserLine(ann, R"(say \"hi\"\r\nbye)", -1, R"(a\"b\r\n)"),
                          updateUserLine(ann, R"(back\slash)", -1, R"(a\"b\r\n)"),
                          updateUserLine(ann, "c\rr", -1, R"(a\"b\r\n)")));
  EXPECT_THAT(ann.request("whoami").front(), ::testing::StartsWith("youare id=1 nick=\"c\rr\""));

  // A value that would go out to others ending in a backslash would escape its own closing
  // quotation mark and break every reader's line: it counts as absent, and nothing is sent.
  const std::pair<const char*, const char*> cases[] = {
      {R"(changenick nick=evil\)", "error number=101"},
      {R"(changestatus statusmode=4 statusmessage=away\)", "error number=108"},
      {R"(join channel=/a\ password="" topic="")", "error number=105"},
      {R"(join channel="/a/" password="" topic=t\)", "error number=105"},
      {R"(message message=m\ type=2 channel="")", "error number=108"},
      {R"(message message="m" type=1 to=2 channel=/x\)", "error number=105"},
  };
  for (const auto& [line, error] : cases) {
    EXPECT_THAT(ann.request(line), ElementsAre(error)) << line;
  }
  EXPECT_THAT(ben.linesBeforePong(), IsEmpty());
  // The status mode read before the refused text stays; nothing else was stored.
  EXPECT_THAT(ann.request("changenick nick=\"ann2\""), IsEmpty());
  EXPECT_THAT(ben.linesBeforePong(), ElementsAre(updateUserLine(ann, "ann2", 4, R"(a\"b\r\n)")));
  // A login with such a nick is refused as one without a nick.
  TestClient& cid = connect("127.0.0.6");
  cid.sendLine("protocol version=\"2.1\"");
  ASSERT_TRUE(cid.confirmVoice());
  EXPECT_THAT(cid.request("connect nick=c\\ password=\"\" bandmode=1 framesize=1 "
                          "encodedframesize=1 fpp=1"),
              ElementsAre("error number=101"));
}

TEST_F(HandshakeTest, QuitClosesWithoutReplyAndStopsTheLine) {
  TestClient& stranger = connect("127.0.0.6");
  TestClient& ann = member("ann", "127.0.0.2");
  TestClient& ben = member("ben", "127.0.0.4");

  // Lines behind "quit" in the same packet are never executed.
  ASSERT_TRUE(ann.sendRaw("quit\r\nping\r\nwhoami\r\n"));
  EXPECT_TRUE(ann.waitClosed());
  EXPECT_FALSE(ann.readLine(std::chrono::milliseconds(0)).has_value());
  EXPECT_THAT(ben.linesBeforePong(), ElementsAre(removeUserLine(ann)));

  // A client that never logged in leaves without a word to anyone.
  ASSERT_TRUE(stranger.sendLine("QUIT now"));
  EXPECT_TRUE(stranger.waitClosed());
  EXPECT_FALSE(stranger.readLine(std::chrono::milliseconds(0)).has_value());
  EXPECT_THAT(ben.linesBeforePong(), IsEmpty());
}

}  // namespace
}  // namespace quorvane::test
