// ServerLine's check of the exact layout of every line the server writes, and the command
// builders read back through the server's own parser.
// Guards against the tests' own check of server lines passing a malformed line.
#include <gtest/gtest.h>

#include "client/ClientCommands.h"
#include "client/ServerLine.h"
#include "protocol/MessageSyntax.h"

namespace quorvane {
namespace {

TEST(ServerLineTest, AcceptsEveryFormTheServerWrites) {
  const char* const lines[] = {
      "welcome id=1 servername=\"Quorvane Server\" forwarding=1 channels=1 operators=1 "
      "protocol=\"2.1\"",
      "accepted id=1 nick=\"bob\" address=\"192.0.2.10\" soundport=5000 bandmode=1 "
      "framesize=320 encodedframesize=20 fpp=2",
      "youare id=3 nick=\"\" address=\"\" soundport=-1 bandmode=-1 framesize=-1 "
      "encodedframesize=-1",
      "error number=204",
      "pong",
      "quit",
      "kicked",
      "pwc  channel=\"/\"",
      "addchannel channel=\"/a/\" protected=0 topic=\"chat\" operators=[1]",
      "updatechannel channel=\"/\" protected=1 topic=\"\" operators=[]",
      "updatechannel channel=\"/\" protected=1 topic=\"\" operators=[3,7,12]",
      "removechannel channel=\"/a/\"",
      "joined channel=\"/a/\"",
      "adduser id=2 nick=\"a \\\"q\\\" b\" address=\"127.0.0.2\" soundport=4000 channel=\"/\" "
      "bandmode=1 framesize=320 encodedframesize=20 fpp=2 forward=0 statusmode=0 "
      "statusmessage=\"\"",
      "updateuser id=2 nick=\"n\" address=\"127.0.0.2\" soundport=4000 channel=\"/\" bandmode=1 "
      "framesize=320 encodedframesize=20 fpp=2 statusmode=3 statusmessage=\"away\\r\\nnow\"",
      "removeuser id=2 channel=\"/\"",
      // A text ending in a backslash makes its closing mark look escaped; the layout decides.
      "messagedeliver type=2 from=2 message=\"tail\\\" channel=\"/a/\"",
  };
  for (const char* text : lines) EXPECT_TRUE(ServerLine(text).checkForm()) << text;
}

TEST(ServerLineTest, RejectsAnythingElse) {
  const char* const lines[] = {
      "hello id=1",                                   // unknown word
      "welcome id=1",                                 // fields missing
      "pong ",                                        // trailing blank
      "pwc channel=\"/\"",                            // one blank where the server writes two
      "joined  channel=\"/\"",                        // two blanks where it writes one
      "error number=999",                             // a number the server never sends
      "error number=abc",
      "removeuser channel=\"/\" id=2",                // fields out of order
      "removeuser id=2 channel=\"/\" extra=1",        // a field too many
      "removeuser id=\"2\" channel=\"/\"",            // quoted integer
      "joined channel=/a/",                           // unquoted string
      "joined channel=\"a\"b\"",                      // unescaped quotation mark
      "addchannel channel=\"/a/\" protected=2 topic=\"\" operators=[]",
      "addchannel channel=\"/a/\" protected=0 topic=\"\" operators=[1,]",
      "addchannel channel=\"/a/\" protected=0 topic=\"\" operators=[-1]",
  };
  for (const char* text : lines) EXPECT_FALSE(ServerLine(text).checkForm()) << text;
}

TEST(ServerLineTest, ReadsValuesUnescaped) {
  const ServerLine line(
      "messagedeliver type=2 from=7 message=\"say \\\"hi\\\"\\r\\nbye\" channel=\"/a/\"");
  EXPECT_EQ(line.word(), "messagedeliver");
  EXPECT_TRUE(line.is("messagedeliver"));
  EXPECT_EQ(line.stringParam("message"), "say \"hi\"\r\nbye");
  EXPECT_EQ(line.intParam("from"), 7);
  int value = 0;
  EXPECT_FALSE(line.getInt("channel", value));
  EXPECT_EQ(line.intParam("nick", -5), -5);
  EXPECT_EQ(ServerLine("pong").word(), "pong");
}

// Every string the builders write survives the server's parser unchanged, whatever it holds.
TEST(ClientCommandsTest, ServerParserReadsBackWhatTheBuildersWrite) {
  const std::string text = "a \"q\" \r\nb\\x \xE9";
  std::string out;
  int number = 0;

  const LineParams message(messageToUserLine(5, text));
  ASSERT_TRUE(message.valid());
  EXPECT_TRUE(message.getStringParam("message", out));
  EXPECT_EQ(out, text);
  EXPECT_TRUE(message.getIntParam("to", number));
  EXPECT_EQ(number, 5);
  EXPECT_TRUE(message.getIntParam("type", number));
  EXPECT_EQ(number, 1);

  const LineParams channel(messageToChannelLine("/a \"b\"/", text));
  EXPECT_TRUE(channel.getStringParam("channel", out));
  EXPECT_EQ(out, "/a \"b\"/");
  EXPECT_TRUE(channel.getIntParam("type", number));
  EXPECT_EQ(number, 2);

  LoginDetails details;
  details.nick = text;
  details.framesPerPacket = 4;
  const LineParams connect(connectLine(details));
  EXPECT_TRUE(connect.getStringParam("nick", out));
  EXPECT_EQ(out, text);
  EXPECT_TRUE(connect.getIntParam("fpp", number));
  EXPECT_EQ(number, 4);

  EXPECT_EQ(joinLine("/x/", "", "t"), "join channel=\"/x/\" password=\"\" topic=\"t\"");
  EXPECT_EQ(changeStatusLine(2, "q\""), "changestatus statusmode=2 statusmessage=\"q\\\"\"");
  EXPECT_EQ(messageToUserLine(3, text).find('\n'), std::string::npos);
}

}  // namespace
}  // namespace quorvane
