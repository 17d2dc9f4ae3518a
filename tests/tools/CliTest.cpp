// quorvane-cli end to end: the built program against an in-process server, with a test client
// on the other side. Interactive use through its standard input, scripted use with --exec, and
// the ways it fails: each a clear line on standard error and its exit code, never a hang.
// Guards against a client that hangs, hides a failure, or runs commands after a failed one.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <regex>
#include <string>
#include <vector>

#include "client/ServerLine.h"
#include "server/UserSession.h"
#include "support/TestClient.h"
#include "support/TestServer.h"
#include "ToolProcess.h"

namespace quorvane {
namespace {

using test::TestClient;
using test::TestServer;
using test::ToolProcess;

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

// quorvane-cli run against `server` as `nick`.
struct Cli : ToolProcess {
  Cli(TestServer& server, const std::string& nick, const std::vector<std::string>& more = {})
      : ToolProcess(QUORVANE_CLI_PROGRAM, cliArguments(server, nick, more)) {}
  explicit Cli(const std::vector<std::string>& arguments)
      : ToolProcess(QUORVANE_CLI_PROGRAM, arguments) {}
};

// A line of output that starts with the local time and then `text`.
std::string stamped(std::string_view text) {
  static const std::regex special(R"([\\^$.|?*+()\[\]{}])");
  return R"(^\[\d\d:\d\d\] )" + std::regex_replace(std::string(text), special, R"(\$&)");
}
// The same, with nothing after `text`.
std::string exactly(std::string_view text) { return stamped(text) + "$"; }

// Every line up to and including the first that starts with `prefix` and ends with `suffix`.
std::vector<std::string> linesUntil(TestClient& client, std::string_view prefix,
                                    std::string_view suffix = "") {
  std::vector<std::string> lines;
  while (std::optional<std::string> line = client.readLine()) {
    lines.push_back(*line);
    if (line->starts_with(prefix) && line->ends_with(suffix)) break;
  }
  return lines;
}

// The first line that starts with `prefix`, or "<none>".
std::string awaitFrom(TestClient& client, std::string_view prefix) {
  const std::vector<std::string> lines = linesUntil(client, prefix);
  return lines.empty() || !lines.back().starts_with(prefix) ? "<none>" : lines.back();
}

// A client of the server, logged in as "bob" with the voice address 127.0.0.2.
struct Bob {
  explicit Bob(TestServer& server) : client(server.hostPort(), server.soundPort()) {
    client.login("bob");
  }
  std::string id() const { return std::to_string(client.id()); }
  TestClient client;
};

// Typed commands reach the others as the lines they stand for, and what comes back is shown;
// the client keeps itself alive, and runs piped input in order up to its end.
TEST(CliTest, InteractiveCommandsReachTheOthersAndShowWhatComesBack) {
  std::atomic<std::time_t> now{1000};
  TestServer server([&now](VoiceServer& s) { s.setClock([&now] { return now.load(); }); });
  ASSERT_TRUE(server.started());
  Cli cli(server, "alice", {"--ping-interval", "0.05"});
  const std::optional<std::string> accepted = cli.awaitLine(stamped("logged in as alice (id "));
  ASSERT_TRUE(accepted) << cli.output() << cli.errors();
  const int id = std::stoi(accepted->substr(accepted->find("(id ") + 4));
  const std::string alice = std::to_string(id);
  // Steps well within the inactivity limit; two, as the first may be met by the ping that
  // follows the login's lists.
  for (const std::time_t time : {1100, 1200}) {
    now = time;
    EXPECT_TRUE(test::waitFor([&] {
      VoiceServer::Guard guard(server.server());
      const UserSession* user = server.server().findUser(id);
      return user != nullptr && user->lastPingTime() == time;
    })) << "no keep-alive by " << time;
  }
  Bob bob(server);
  EXPECT_TRUE(cli.awaitLine(exactly("bob joined / (id " + bob.id() + ")"))) << cli.output();

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

  // Members in the order of their ids: alice logged in first.
  cli.write("/who\n");
  EXPECT_TRUE(cli.awaitLine(exactly("/lobby/: 2 users")));
  EXPECT_TRUE(cli.awaitLine(exactly("  alicia (id " + alice + ", you, status 1 \"gone fishing\")")));
  EXPECT_TRUE(cli.awaitLine(exactly("  robert (id " + bob.id() + ")")));
  cli.write("/channels\n/pwc\nwhoami\n/msg x\n/kick 30000\n");
  EXPECT_TRUE(cli.awaitLine(exactly("2 channels")));
  EXPECT_TRUE(cli.awaitLine(exactly("  /lobby/ (protected, operators alicia)")));
  EXPECT_TRUE(cli.awaitLine(exactly("you are in /lobby/")));
  EXPECT_TRUE(cli.awaitLine(stamped("you are alicia (id " + alice + ", voice 127.0.0.1:")));
  EXPECT_TRUE(cli.awaitLine(exactly("error 206: no such user in your channel")));

  // Piped input runs as if typed slowly: /who waits for the answer to the join. The end of the
  // input quits, once the last line (without its line feed) has been answered.
  cli.write("/join /piped/\n/who\n/pwc");
  cli.closeInput();
  EXPECT_EQ(cli.wait(), 0) << cli.errors();
  EXPECT_TRUE(cli.awaitLine(exactly("/piped/: 1 user"), kNoWait)) << cli.output();
  EXPECT_TRUE(cli.awaitLine(exactly("you are in /piped/"), kNoWait)) << cli.output();
  EXPECT_EQ(cli.output().find("pong"), std::string::npos) << cli.output();
  EXPECT_EQ(cli.errors(), "quorvane-cli: usage: /msg ID TEXT\n");
  EXPECT_EQ(awaitFrom(bob.client, "removeuser "), "removeuser id=" + alice + " channel=\"/lobby/\"");
}

// A script's commands run in order with their answers shown; a local user (its voice socket
// bound to any address, talking to 127.0.0.1) is an operator of the channels it joins.
TEST(CliTest, ScriptRunsInOrderAndKicksAsALocalOperator) {
  TestServer server;
  ASSERT_TRUE(server.started());
  Bob bob(server);
  bob.client.request("join channel=\"/ops/\" password=\"\" topic=\"\"");
  Cli cli(server, "admin",
          {"--exec", "/join /ops/", "--exec", "/say notice", "--exec", "/pwc", "--exec", "ping",
           "--exec", "/kick " + bob.id(), "--exec", "/quit", "--exec", "/say never"});
  EXPECT_EQ(cli.wait(), 0) << cli.output() << cli.errors();
  for (const std::string& line :
       {std::string("you joined /ops/"), "bob is in /ops/ (id " + bob.id() + ")",
        std::string("<admin> notice"), std::string("you are in /ops/"), std::string("pong"),
        std::string("bob left /ops/")}) {
    EXPECT_TRUE(cli.awaitLine(exactly(line), kNoWait)) << line << "\n" << cli.output();
  }
  // The login's greeting and lists are not part of a script's output, nor what follows /quit.
  EXPECT_EQ(cli.output().find("logged in"), std::string::npos) << cli.output();
  EXPECT_EQ(cli.output().find("never"), std::string::npos) << cli.output();
  EXPECT_EQ(cli.errors(), "");
  EXPECT_EQ(ServerLine(awaitFrom(bob.client, "messagedeliver ")).stringParam("message"), "notice");
  EXPECT_EQ(awaitFrom(bob.client, "kicked"), "kicked");
  EXPECT_TRUE(bob.client.waitClosed());
}

// Each failure ends the program with its own exit code and one line on standard error, never
// a hang: a refused command in a script (and nothing after it runs), a port nobody listens on, a
// wrong server password, a sound port that never answers the hello, a server that stops.
TEST(CliTest, FailuresEndWithTheirExitCodeAndOneLineOfError) {
  if (!test::loopbackAddressesDistinct()) GTEST_SKIP() << "every loopback client is local here";
  TestServer server;
  TestServer guarded([](VoiceServer& s) { s.setServerPassword("secret"); });
  ASSERT_TRUE(server.started() && guarded.started());
  Bob bob(server);
  bob.client.request("join channel=\"/room/\" password=\"\" topic=\"\"");
  const std::string free = std::to_string(test::probeFreePort());
  const std::string silent = std::to_string(test::probeFreeDatagramPort());
  struct Case {
    std::vector<std::string> arguments;
    int code;
    std::string errors;  // a prefix of standard error, which holds one line
  };
  const std::vector<Case> cases = {
      // Not local, so an operator only of the channels it creates.
      {cliArguments(server, "guest",
                    {"--voice-address", "127.0.0.2", "--exec", "/join /room/", "--exec",
                     "/kick " + bob.id(), "--exec", "/say too late"}),
       1, "quorvane-cli: \"/kick " + bob.id() + "\" failed: error 303: not an operator of that channel\n"},
      {{"--port", free, "--sound-port", free, "--nick", "x", "--timeout", "5"}, 3,
       "quorvane-cli: cannot connect to 127.0.0.1:" + free + ": "},
      {cliArguments(guarded, "x", {"--password", "guess", "--exec", "/pwc"}), 3,
       "quorvane-cli: login refused: error 300: wrong server password"},
      {{"--port", std::to_string(server.hostPort()), "--sound-port", silent, "--nick", "x"}, 3,
       "quorvane-cli: no answer to the voice hello from 127.0.0.1:" + silent +
           " after 5 tries (is the sound port right?)"},
  };
  for (const Case& c : cases) {
    Cli cli(c.arguments);
    EXPECT_EQ(cli.wait(std::chrono::seconds(30)), c.code) << c.errors;
    const std::string errors = cli.errors();
    EXPECT_TRUE(errors.starts_with(c.errors)) << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
  }
  // The guest's quit comes after anything it sent: the command after the failed one never ran.
  for (const std::string& line : linesUntil(bob.client, "removeuser ", "channel=\"/room/\"")) {
    EXPECT_FALSE(line.starts_with("messagedeliver ")) << line;
  }

  // On the server without bob's channel: its removal may follow the "quit".
  Cli cli(guarded, "x", {"--password", "secret"});
  ASSERT_TRUE(cli.awaitLine(stamped("logged in as x "))) << cli.output() << cli.errors();
  guarded.stop();
  EXPECT_TRUE(cli.awaitLine(exactly("the server is shutting down"))) << cli.output();
  EXPECT_EQ(cli.wait(), 4);
  EXPECT_EQ(cli.errors(),
            "quorvane-cli: server closed the connection (the server is shutting down)\n")
      << cli.output();
}

}  // namespace
}  // namespace quorvane
