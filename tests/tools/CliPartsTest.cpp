// The parts of quorvane-cli on their own, for what its runs in CliTest do not reach: the commands
// it understands or refuses, and the readable form of the server's lines.
// Guards against a client that sends what the user did not type, or prints what the server did not
// say, or lets received control characters reach the terminal.
#include <gtest/gtest.h>

#include <regex>

#include "cli/CliCommand.h"
#include "cli/LineFormatter.h"

namespace quorvane {
namespace {

TEST(CliCommandTest, SlashCommandsBecomeProtocolLines) {
  const auto line = [](std::string_view text) {
    return CliCommand::parse(text).protocolLine("/here/");
  };
  EXPECT_EQ(line("/join  /a/  two words"), R"(join channel="/a/" password="two words" topic="")");
  EXPECT_EQ(line("/say say \"hi\""), R"(message message="say \"hi\"" type=2 channel="")");
  EXPECT_EQ(line("/msg 7 a b"), R"(message to=7 message="a b" type=1 channel="")");
  EXPECT_EQ(line("/kick 7"), R"(kick id=7 channel="/here/")");
  EXPECT_EQ(line("/nick new name"), R"(changenick nick="new name")");
  EXPECT_EQ(line("/status -1 out to lunch"),
            R"(changestatus statusmode=-1 statusmessage="out to lunch")");
  EXPECT_EQ(line("/unknown thing"), "/unknown thing");
  EXPECT_EQ(CliCommand::parse("/CHANNELS").kind(), CliCommand::Kind::Channels);
  EXPECT_EQ(CliCommand::parse("QUIT").kind(), CliCommand::Kind::Quit);
  EXPECT_TRUE(CliCommand::parse("Ping").isPing());
  EXPECT_FALSE(CliCommand::parse(" ping").isPing());
}

TEST(CliCommandTest, RefusesIncompleteCommandsAndLineBreaks) {
  for (const char* text :
       {"/join", "/say", "/say   ", "/msg x hi", "/msg 3", "/msg - hi", "/kick", "/kick 3 4",
        "/kick 99999999999", "/nick", "/status away", "", "   ", "say\nquit"}) {
    const CliCommand command = CliCommand::parse(text);
    EXPECT_EQ(command.kind(), CliCommand::Kind::Invalid) << text;
    EXPECT_FALSE(command.error().empty()) << text;
  }
}

// An "adduser" or "updateuser" line for a member of /l/.
std::string userLine(const std::string& word, int id, const std::string& nick, int mode,
                     const std::string& message) {
  return word + " id=" + std::to_string(id) + " nick=\"" + nick +
         "\" address=\"\" soundport=1 channel=\"/l/\" bandmode=1 framesize=1"
         " encodedframesize=1 fpp=1" +
         (word == "adduser" ? " forward=0" : "") + " statusmode=" + std::to_string(mode) +
         " statusmessage=\"" + message + "\"";
}

TEST(LineFormatterTest, ServerLinesReadAsSentences) {
  CliSession session;
  session.apply(ServerLine(userLine("adduser", 3, "bob", 0, "")));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"(welcome id=5 servername="Q" forwarding=1 channels=0 operators=1 protocol="2.1")",
       "connected to \"Q\" as user 5"
       " (protocol 2.1; forwarding on, channel creation off, operators on)"},
      {R"(youare id=5 nick="me" address="" soundport=-1 bandmode=1 framesize=1)"
       " encodedframesize=1",
       "you are me (id 5, voice :-1)"},
      {"error number=999", "error 999"},
      {"kicked", "you were kicked"},
      {R"(pwc  channel="")", "you are in no channel"},
      {R"(updatechannel channel="/x/" protected=1 topic="hi" operators=[3,8])",
       R"(channel /x/ changed (protected, topic "hi", operators bob, #8))"},
      {R"(removechannel channel="/x/")", "channel /x/ removed"},
      {userLine("adduser", 7, "eve", 2, "out"), R"(eve joined /l/ (id 7, status 2 "out"))"},
      {userLine("updateuser", 3, "bob", 1, ""), "bob set status 1"},
      {R"(messagedeliver type=1 from=9 message="psst" channel="/l/")", "<#9> (private) psst"},
      {"something else=1", "something else=1"},
      // Received control characters are shown escaped, never sent to the terminal.
      {"messagedeliver type=2 from=3 message=\"\x1b[2J\\r\\n\t\x7f\xe9\" channel=\"\"",
       "<bob> \\x1b[2J\\r\\n\\t\\x7f\xe9"},
  };
  for (const auto& [line, text] : cases) {
    EXPECT_EQ(LineFormatter::format(ServerLine(line), session), text) << line;
  }
  EXPECT_TRUE(std::regex_match(LineFormatter::timePrefix(0), std::regex(R"(\[\d\d:\d\d\] )")));
}

}  // namespace
}  // namespace quorvane
