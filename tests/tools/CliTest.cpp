// quorvane-cli end to end: the built program against an in-process server, with a test client
// on the other side. Interactive use through its standard input, scripted use with --exec, and
// the ways it fails: each a clear line on standard error and its exit code, never a hang.
// Guards against a client that hangs, hides a failure, or runs commands after a failed one.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "CliProcess.h"
#include "client/ServerLine.h"
#include "server/UserSession.h"
#include "support/TestClient.h"
#include "support/TestServer.h"

namespace quorvane {
namespace {

using test::CliProcess;
using test::TestClient;
using test::TestServer;

// For output that has all been read: the child has ended.
constexpr std::chrono::milliseconds kNoWait{0};

std::vector<std::string> cliArguments(TestServer& server, const std::string& nick,
                                      const std::vector<std::string>& more = {}) {
  std::vector<std::string> arguments{"--port",       std::to_string(server.hostPort()),
                                     "--sound-port", std::to_string(server.soundPort()),
                                     "--nick",       nick};
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

std::string escapeRegex(std::string_view text) {
  static const std::string_view kSpecial = R"(\^$.|?*+()[]{})";
  std::string out;
  for (const char c : text) {
    if (kSpecial.find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

// A line of output that starts with the local time and then `text`.
std::string stamped(std::string_view text) { return R"(^\[\d\d:\d\d\] )" + escapeRegex(text); }
// The same, with nothing after `text`.
std::string exactly(std::string_view text) { return stamped(text) + "$"; }

// Reads the client's lines until one starts with `prefix`; that line, or "<none>".
std::string awaitFrom(TestClient& client, std::string_view prefix) {
  while (std::optional<std::string> line = client.readLine()) {
    if (line->starts_with(prefix)) return *line;
  }
  return "<none>";
}

// Every line up to and including the first that starts with `prefix`.
std::vector<std::string> linesUntil(TestClient& client, std::string_view prefix) {
  std::vector<std::string> lines;
  while (std::optional<std::string> line = client.readLine()) {
    lines.push_back(*line);
    if (line->starts_with(prefix)) break;
  }
  return lines;
}

int lineCount(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// A client of the server, logged in as "bob" with the voice address 127.0.0.2.
struct Bob {
  explicit Bob(TestServer& server) : client(server.hostPort(), server.soundPort()) {
    client.login("bob");
  }
  std::string id() const { return std::to_string(client.id()); }
  TestClient client;
};

TEST(CliTest, InteractiveCommandsReachTheOthersAndShowWhatComesBack) {
  TestServer server;
  ASSERT_TRUE(server.started());
  Bob bob(server);
  CliProcess cli(cliArguments(server, "alice"));
  ASSERT_TRUE(cli.started());
  ASSERT_TRUE(cli.awaitLine(stamped("logged in as alice (id "))) << cli.output() << cli.errors();
  const std::string alice =
      std::to_string(ServerLine(awaitFrom(bob.client, "adduser ")).intParam("id"));
  EXPECT_TRUE(cli.awaitLine(exactly("bob is in / (id " + bob.id() + ")"))) << cli.output();

  cli.write("/join /lobby/ secret\n");
  EXPECT_TRUE(cli.awaitLine(exactly("channel /lobby/ created (protected, operators alice)")));
  EXPECT_TRUE(cli.awaitLine(exactly("you joined /lobby/")));
  EXPECT_EQ(awaitFrom(bob.client, "addchannel "),
            "addchannel channel=\"/lobby/\" protected=1 topic=\"\" operators=[" + alice + "]");
  EXPECT_EQ(awaitFrom(bob.client, "removeuser "), "removeuser id=" + alice + " channel=\"/\"");
  // Members listed before this answer came with the join; bob, who comes after, is news.
  cli.write("/pwc\n");
  EXPECT_TRUE(cli.awaitLine(exactly("you are in /lobby/")));
  bob.client.request("join channel=\"/lobby/\" password=\"secret\" topic=\"\"");
  EXPECT_TRUE(cli.awaitLine(exactly("bob joined /lobby/ (id " + bob.id() + ")"))) << cli.output();

  cli.write("/say hello \"all\"\n");
  EXPECT_EQ(
      awaitFrom(bob.client, "messagedeliver "),
      "messagedeliver type=2 from=" + alice + " message=\"hello \\\"all\\\"\" channel=\"/lobby/\"");
  EXPECT_TRUE(cli.awaitLine(exactly("<alice> hello \"all\"")));
  bob.client.sendLine("message to=" + alice + " message=\"psst\" type=1 channel=\"\"");
  EXPECT_TRUE(cli.awaitLine(exactly("<bob> (private) psst")));
  cli.write("/msg " + bob.id() + " back at you\n");
  EXPECT_EQ(awaitFrom(bob.client, "messagedeliver "),
            "messagedeliver type=1 from=" + alice + " message=\"back at you\" channel=\"/lobby/\"");

  cli.write("/nick alicia\n/status 1 gone fishing\n");
  const ServerLine renamed(awaitFrom(bob.client, "updateuser "));
  EXPECT_EQ(renamed.stringParam("nick"), "alicia");
  const ServerLine away(awaitFrom(bob.client, "updateuser "));
  EXPECT_EQ(away.intParam("statusmode"), 1);
  EXPECT_EQ(away.stringParam("statusmessage"), "gone fishing");
  bob.client.sendLine("changenick nick=\"robert\"");
  EXPECT_TRUE(cli.awaitLine(exactly("bob is now known as robert")));

  cli.write("/who\n");
  ASSERT_TRUE(cli.awaitLine(exactly("/lobby/: 2 users")));
  const std::set<std::string> who = {cli.awaitLine(".").value_or(""),
                                     cli.awaitLine(".").value_or("")};
  EXPECT_EQ(who.size(), 2u);
  EXPECT_TRUE(std::regex_search(*who.begin() + *who.rbegin(),
                                std::regex(escapeRegex("  robert (id " + bob.id() + ")"))));
  EXPECT_TRUE(std::regex_search(
      *who.begin() + *who.rbegin(),
      std::regex(escapeRegex("  alicia (id " + alice + ", you, status 1 \"gone fishing\")"))));
  cli.write("/channels\n/pwc\nwhoami\n/msg x\n/kick 30000\n");
  EXPECT_TRUE(cli.awaitLine(exactly("2 channels")));
  EXPECT_TRUE(cli.awaitLine(exactly("  /lobby/ (protected, operators alicia)")));
  EXPECT_TRUE(cli.awaitLine(exactly("you are in /lobby/")));
  EXPECT_TRUE(cli.awaitLine(stamped("you are alicia (id " + alice + ", voice 127.0.0.1:")));
  EXPECT_TRUE(cli.awaitLine(exactly("error 206: no such user in your channel")));

  cli.write("/quit\n");
  EXPECT_EQ(cli.wait(), 0) << cli.errors();
  EXPECT_EQ(cli.errors(), "quorvane-cli: usage: /msg ID TEXT\n");
  EXPECT_EQ(awaitFrom(bob.client, "removeuser "),
            "removeuser id=" + alice + " channel=\"/lobby/\"");
}

TEST(CliTest, KeepsItselfAliveAndRunsPipedInputInOrder) {
  std::atomic<std::time_t> now{1000};
  TestServer server([&now](VoiceServer& s) { s.setClock([&now] { return now.load(); }); });
  ASSERT_TRUE(server.started());
  CliProcess cli(cliArguments(server, "idle", {"--ping-interval", "0.05"}));
  const std::optional<std::string> accepted = cli.awaitLine(stamped("logged in as idle (id "));
  ASSERT_TRUE(accepted) << cli.output() << cli.errors();
  const int id = std::stoi(accepted->substr(accepted->find("(id ") + 4));
  const auto pingedAt = [&](std::time_t time) {
    now = time;
    return test::waitFor([&] {
      VoiceServer::Guard guard(server.server());
      const UserSession* user = server.server().findUser(id);
      return user != nullptr && user->lastPingTime() == time;
    });
  };
  // Two rounds: the first may be met by the ping that follows the login's lists.
  EXPECT_TRUE(pingedAt(5000));
  EXPECT_TRUE(pingedAt(6000));
  // Piped input runs as if typed slowly: /who waits for the answer to the join. The end of the
  // input quits, once the last line (without its line feed) has been answered.
  cli.write("/join /piped/\n/who\n/pwc");
  cli.closeInput();
  EXPECT_EQ(cli.wait(), 0) << cli.errors();
  EXPECT_TRUE(cli.awaitLine(exactly("/piped/: 1 user"), kNoWait)) << cli.output();
  EXPECT_TRUE(cli.awaitLine(exactly("you are in /piped/"), kNoWait)) << cli.output();
  EXPECT_EQ(cli.output().find("pong"), std::string::npos) << cli.output();
}

TEST(CliTest, ScriptJoinsAndSendsANotice) {
  TestServer server;
  ASSERT_TRUE(server.started());
  Bob bob(server);
  bob.client.request("join channel=\"/ops/\" password=\"\" topic=\"\"");
  CliProcess cli(cliArguments(
      server, "admin",
      {"--exec", "/join /ops/", "--exec", "/say notice", "--exec", "/pwc", "--exec", "ping"}));
  EXPECT_EQ(cli.wait(), 0) << cli.output() << cli.errors();
  EXPECT_TRUE(cli.awaitLine(exactly("you joined /ops/"), kNoWait));
  EXPECT_TRUE(cli.awaitLine(exactly("bob is in /ops/ (id " + bob.id() + ")"), kNoWait));
  EXPECT_TRUE(cli.awaitLine(exactly("<admin> notice"), kNoWait));
  EXPECT_TRUE(cli.awaitLine(exactly("you are in /ops/"), kNoWait));
  EXPECT_TRUE(cli.awaitLine(exactly("pong"), kNoWait)) << cli.output();
  // The login's greeting and lists are not part of a script's output.
  EXPECT_EQ(cli.output().find("logged in"), std::string::npos) << cli.output();
  EXPECT_EQ(cli.errors(), "");
  EXPECT_EQ(ServerLine(awaitFrom(bob.client, "messagedeliver ")).stringParam("message"), "notice");
}

TEST(CliTest, ScriptStopsAtAKickWithoutOperatorRights) {
  if (!test::loopbackAddressesDistinct()) GTEST_SKIP() << "every loopback client is local here";
  TestServer server;
  ASSERT_TRUE(server.started());
  Bob bob(server);
  bob.client.request("join channel=\"/room/\" password=\"\" topic=\"\"");
  // Not local, so an operator only of the channels it creates.
  CliProcess cli(cliArguments(server, "guest",
                              {"--voice-address", "127.0.0.2", "--exec", "/join /room/", "--exec",
                               "/kick " + bob.id(), "--exec", "/say too late"}));
  EXPECT_EQ(cli.wait(), 1) << cli.output() << cli.errors();
  EXPECT_TRUE(cli.awaitLine(exactly("error 303: not an operator of that channel"), kNoWait))
      << cli.output();
  EXPECT_EQ(cli.errors(), "quorvane-cli: \"/kick " + bob.id() +
                              "\" failed: error 303: not an operator of that channel\n");
  // The guest's quit comes after anything it sent: the command after the failed one never ran.
  for (const std::string& line : linesUntil(bob.client, "removeuser ")) {
    EXPECT_FALSE(line.starts_with("messagedeliver ")) << line;
  }
}

TEST(CliTest, ScriptKicksAsALocalOperator) {
  TestServer server;
  ASSERT_TRUE(server.started());
  Bob bob(server);
  // The program's voice socket is bound to any address: talking to 127.0.0.1 it is local, and
  // so an operator of the root channel.
  CliProcess cli(cliArguments(server, "root", {"--exec", "/kick " + bob.id()}));
  EXPECT_EQ(cli.wait(), 0) << cli.output() << cli.errors();
  EXPECT_EQ(awaitFrom(bob.client, "kicked"), "kicked");
  EXPECT_TRUE(bob.client.waitClosed());
  EXPECT_TRUE(cli.awaitLine(exactly("bob left /"), kNoWait)) << cli.output();
  EXPECT_EQ(cli.errors(), "");
}

// Each failure ends the program with its own exit code and one line on standard error, never
// a hang: an unknown command in a script, a port nobody listens on, a wrong server password, a
// server that stops, a sound port that never answers the hello.
TEST(CliTest, FailuresEndWithTheirExitCodeAndOneLineOfError) {
  TestServer server;
  TestServer guarded([](VoiceServer& s) { s.setServerPassword("secret"); });
  ASSERT_TRUE(server.started() && guarded.started());
  const std::string free = std::to_string(test::probeFreePort());
  const std::string silent = std::to_string(test::probeFreeDatagramPort());
  struct Case {
    std::vector<std::string> arguments;
    int code;
    std::string errors;  // a prefix of standard error, which holds one line
  };
  const std::vector<Case> cases = {
      {cliArguments(server, "x", {"--exec", "bogus", "--exec", "/pwc"}), 1,
       "quorvane-cli: \"bogus\" failed: error 204: unknown command"},
      {{"--port", free, "--sound-port", free, "--nick", "x", "--timeout", "5"}, 3,
       "quorvane-cli: cannot connect to 127.0.0.1:" + free + ": "},
      {cliArguments(guarded, "x", {"--password", "guess", "--exec", "/pwc"}), 3,
       "quorvane-cli: login refused: error 300: wrong server password"},
      {{"--port", std::to_string(server.hostPort()), "--sound-port", silent, "--nick", "x"}, 3,
       "quorvane-cli: no answer to the voice hello from 127.0.0.1:" + silent +
           " after 5 tries (is the sound port right?)"},
  };
  for (const Case& c : cases) {
    CliProcess cli(c.arguments);
    EXPECT_EQ(cli.wait(std::chrono::seconds(30)), c.code) << c.errors;
    EXPECT_TRUE(cli.errors().starts_with(c.errors)) << cli.errors();
    EXPECT_EQ(lineCount(cli.errors()), 1) << cli.errors();
    EXPECT_EQ(cli.output().find("you are in"), std::string::npos) << cli.output();
  }

  CliProcess cli(cliArguments(server, "x"));
  ASSERT_TRUE(cli.awaitLine(stamped("logged in as x "))) << cli.output() << cli.errors();
  server.stop();
  EXPECT_TRUE(cli.awaitLine(exactly("the server is shutting down"))) << cli.output();
  EXPECT_EQ(cli.wait(), 4);
  EXPECT_EQ(cli.errors(),
            "quorvane-cli: server closed the connection (the server is shutting down)\n");
}

TEST(CliTest, BadCommandLinesAreUsageErrors) {
  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{"--port", "1"},
                                             {"--nick", "x", "--frobnicate", "1"},
                                             {"--nick", "x", "--port", "70000"},
                                             {"--nick", "x", "--timeout", "0"},
                                             {"--nick"},
                                             {"--nick", "x", "--exec", "/msg x hello"}}) {
    CliProcess cli(arguments);
    EXPECT_EQ(cli.wait(), 2) << arguments.front() << " " << arguments.back();
    EXPECT_NE(cli.errors().find("\nusage: quorvane-cli"), std::string::npos) << cli.errors();
  }
  CliProcess help({"--help"});
  EXPECT_EQ(help.wait(), 0);
  EXPECT_TRUE(help.output().starts_with("usage: quorvane-cli")) << help.output();
}

}  // namespace
}  // namespace quorvane
