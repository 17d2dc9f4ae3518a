// The defences end to end, each tried the way an attacker would: rate limits that slow a sender
// and nobody else, connection limits per address and in all, the login deadline, wrong passwords
// and bans, bounded channels and texts, the voice limit, and refusals logged without flooding.
// Guards against a defence that lets an attacker through, or that hits the attacker's neighbours.
#include <fstream>
#include <regex>

#include "protocol/ProtocolFixture.h"

namespace quorvane::test {
namespace {

using SteadyClock = std::chrono::steady_clock;

double secondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

class DefencesTest : public ProtocolTest {
 protected:
  // True when the server closes a new connection from `address` without greeting it.
  TestClient* client(const std::string& address = "127.0.0.2") { return &open(address); }
  bool refused(const std::string& address) {
    TestClient& c = open(address);
    return !c.readLine().has_value() && c.waitClosed();
  }
};

// A flood of lines that reach everybody is slowed to the configured rate, in order and without
// losses, while every other client is served at once.
TEST_F(DefencesTest, ABurstIsSlowedToTheRateWhileOthersAreServed) {
  configureLimits([](ServerLimits& l) {
    l.messageLimit = 50;
    l.messageBurst = 10;
    l.addressMessageLimit = 0;
  });
  auto flooder = client("127.0.0.2"), observer = client("127.0.0.4"), other = client("127.0.0.6");
  flooder->login("c");
  observer->login("c");
  flooder->linesBeforePong();
  other->readWelcome();

  const auto begin = SteadyClock::now();
  std::string burst;
  for (int i = 0; i < 100; ++i) burst += "changenick nick=\"n" + std::to_string(i) + "\"\r\n";
  ASSERT_TRUE(flooder->sendRaw(burst + "ping\r\n"));
  EXPECT_EQ(other->request("whoami").size(), 1u);
  const double otherServed = secondsSince(begin);
  EXPECT_EQ(flooder->readLine(), "pong");
  const double flooderServed = secondsSince(begin);
  // 90 lines beyond the burst at 50 a second take 1.8 s at the least.
  EXPECT_GE(flooderServed, 1.7);
  EXPECT_LT(otherServed, flooderServed / 4);
  Lines expected;
  for (int i = 0; i < 100; ++i) {
    expected.push_back(updateUserLine(*flooder, "n" + std::to_string(i)));
  }
  EXPECT_EQ(observer->linesBeforePong(), expected);
}

// The lines of all connections from one address share one bucket; another address has its own.
TEST_F(DefencesTest, ConnectionsOfOneAddressShareItsRate) {
  configureLimits([](ServerLimits& l) {
    l.messageLimit = 0;
    l.addressMessageLimit = 5;
    l.addressMessageBurst = 5;
  });
  auto first = client("127.0.0.2"), second = client("127.0.0.2"), elsewhere = client("127.0.0.4");
  for (auto* c : {first, second, elsewhere}) c->readWelcome();
  const std::string five =
      "pwc\r\nkick id=1\r\nkick id=1\r\nkick id=1\r\nkick id=1\r\n"
      "kick id=1\r\nping\r\n";  // "pwc" reaches nobody; five kicks count
  const auto begin = SteadyClock::now();
  ASSERT_TRUE(first->sendRaw(five));
  EXPECT_EQ(first->linesBeforePong().size(), 6u);
  ASSERT_TRUE(second->sendRaw(five));
  ASSERT_TRUE(elsewhere->sendRaw(five));
  EXPECT_EQ(elsewhere->linesBeforePong().size(), 6u);
  const double elsewhereServed = secondsSince(begin);
  EXPECT_EQ(second->linesBeforePong().size(), 6u);
  // The second connection waited for the tokens the first had used: a second at 5 a second.
  EXPECT_GE(secondsSince(begin), 0.9);
  EXPECT_LT(elsewhereServed, 0.5);
}

// A connection that never logs in is closed at its deadline, as a lost connection, and counts
// as a failed one.
TEST_F(DefencesTest, AConnectionThatNeverLogsInIsClosedAtTheDeadline) {
  LogCapture log;
  configureLimits([](ServerLimits& l) { l.loginTimeout = 1; },
                  [](VoiceServer& s) { s.setLogging(true); });
  auto idle = client();
  const auto begin = SteadyClock::now();
  idle->readWelcome();
  auto member = client("127.0.0.4");
  member->login("member");
  // Pinging does not keep a connection that has not logged in.
  idle->linesBeforePong();
  EXPECT_TRUE(idle->waitClosed());
  EXPECT_GE(secondsSince(begin), 0.9);
  EXPECT_TRUE(
      waitFor([&] { return log.sinceStart().back() == "User #1 name: \"\" disconnected."; }));
  // The member, logged in in time, stays.
  EXPECT_TRUE(member->linesBeforePong().empty());
}

// Guessing the password costs the connection, and repeated failures ban the address; a trusted
// address and other addresses are served meanwhile. Each failure is logged with the connection's
// address (which the client cannot choose, and which the README's pattern for log watchers finds
// whatever the nick holds); the password is compared exactly.
TEST_F(DefencesTest, WrongPasswordsAreLoggedCloseTheConnectionAndBanTheAddress) {
  std::ifstream readme(QUORVANE_SOURCE_DIR "/README.md");
  std::string pattern;
  for (std::string line; std::getline(readme, line);) {
    if (line.rfind("    ^", 0) == 0 && line.find("wrong server password") != std::string::npos) {
      pattern = line.substr(4);
    }
  }
  ASSERT_FALSE(pattern.empty()) << "no pattern in the README's log section";
  LogCapture log;
  configureLimits(
      [](ServerLimits& l) {
        l.loginAttempts = 2;
        l.autobanAttempts = 2;
        l.trusted = {UserRecord::addressNumber("127.0.0.6")};
      },
      [](VoiceServer& s) {
        s.setServerPassword("pw");
        s.setLogging(true);
      });
  // A nick that reads as a log entry blaming another address.
  const std::string nick = R"(x\" address: 10.0.0.1 port: 1 wrong server password.)";
  for (const char* address : {"127.0.0.2", "127.0.0.2", "127.0.0.6", "127.0.0.6"}) {
    TestClient& guesser = open(address);
    EXPECT_EQ(guesser.login(nick, "2.1", "PW"), Lines{"error number=300"});
    guesser.sendLine(
        "connect nick=\"g\" password=\"b\" bandmode=1 framesize=1 encodedframesize=1 fpp=1");
    EXPECT_EQ(guesser.readLine(), "error number=300");
    EXPECT_TRUE(guesser.waitClosed()) << address;
  }
  EXPECT_TRUE(refused("127.0.0.2"));
  for (const char* served : {"127.0.0.4", "127.0.0.6"}) {
    EXPECT_EQ(open(served).login("ok", "2.1", "pw").front().rfind("accepted", 0), 0u) << served;
  }
  const Lines entries = log.sinceStart();
  EXPECT_EQ(std::count(entries.begin(), entries.end(),
                       "Address 127.0.0.2 refused for 300 s after 2 failed logins."),
            1);
  const std::regex failure(pattern, std::regex::extended);
  std::ifstream file(log.path(), std::ios::binary);
  Lines blamed;
  for (std::string line; std::getline(file, line);) {
    std::smatch match;
    if (std::regex_match(line, match, failure)) blamed.push_back(match[1]);
  }
  Lines expected(4, "127.0.0.2");
  expected.resize(8, "127.0.0.6");
  EXPECT_EQ(blamed, expected);
}

// Addresses banned by hand are refused from the first connection on; refusals are logged once a
// minute, with a count of those left out.
TEST_F(DefencesTest, ABannedAddressIsRefusedAndTheLogStaysShort) {
  LogCapture log;
  configureLimits([](ServerLimits& l) { l.banned = {UserRecord::addressNumber("127.0.0.8")}; },
                  [this](VoiceServer& s) {
                    s.setLogging(true);
                    s.setClock(clock_.function());
                  });
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(refused("127.0.0.8"));
  auto other = client("127.0.0.4");
  EXPECT_EQ(other->readWelcome().rfind("welcome", 0), 0u);
  clock_.advance(60);
  voiceServer().onTimer(VoiceServer::kTimerId);
  EXPECT_EQ(log.sinceStart(),
            (Lines{"Started Quorvane server.", "Connection from 127.0.0.8 refused: address banned.",
                   "Connection from 127.0.0.8 refused 4 more times: address "
                   "banned."}));
}

// One address cannot fill the server with connections that never log in, nor with connections
// at all; a login frees a pending place.
TEST_F(DefencesTest, ConnectionsOverAnAddressLimitAreClosedUnheard) {
  configureLimits([](ServerLimits& l) {
    l.pendingPerAddress = 2;
    l.connectionsPerAddress = 3;
  });
  auto a = client(), b = client();
  a->readWelcome();
  b->readWelcome();
  EXPECT_TRUE(refused("127.0.0.2"));
  a->login("a");
  auto c = client();
  EXPECT_EQ(c->readWelcome().rfind("welcome", 0), 0u);
  EXPECT_TRUE(refused("127.0.0.2"));  // three connections in all
  auto elsewhere = client("127.0.0.4");
  EXPECT_EQ(elsewhere->readWelcome().rfind("welcome", 0), 0u);
  // No id went to the refused connections.
  EXPECT_EQ(elsewhere->id(), 4);
}

// The channel tree and the texts every client receives are bounded; a channel that exists is
// joined whatever its name.
TEST_F(DefencesTest, ChannelsAndTextsAreBounded) {
  Channel tree("");
  tree.addChild(std::make_unique<Channel>("longstatic"));
  configureLimits(
      [](ServerLimits& l) {
        l.maxChannels = 4;
        l.maxChannelName = 5;
        l.maxChannelDepth = 2;
        l.maxTopic = 4;
        l.maxNick = 6;
        l.maxStatus = 3;
      },
      {}, &tree);
  auto user = client();
  user->login("user");
  const std::pair<std::string, std::string> refusals[] = {
      {joinCommand("/sixsix/"), "error number=304"},
      {joinCommand("/a/", "", "12345"), "error number=304"},
      {"changenick nick=\"seven77\"", "error number=101"},
      {"changestatus statusmode=1 statusmessage=\"four\"", "error number=108"},
  };
  for (const auto& [line, error] : refusals) EXPECT_EQ(user->request(line), Lines{error}) << line;
  EXPECT_EQ(user->request(joinCommand("/a/", "", "1234")).back(), joinedLine("/a/"));
  EXPECT_EQ(user->request(joinCommand("/a/b/")).back(), joinedLine("/a/b/"));
  EXPECT_EQ(user->request(joinCommand("/a/b/c/")), Lines{"error number=304"});  // too deep
  // Root, /longstatic/, /a/ and /a/b/: the tree is full.
  EXPECT_EQ(user->request(joinCommand("/x/")), Lines{"error number=304"});
  EXPECT_EQ(user->request(joinCommand("/longstatic/")).front(), joinedLine("/longstatic/"));
}

// A login list longer than the output bound arrives whole, in order, to a client that reads it;
// a client that stops reading is still dropped once its unread output passes the bound.
TEST_F(DefencesTest, ALongLoginListArrivesWholeAndAStuckClientIsStillDropped) {
  Channel tree("");
  Lines expected{channelLine("addchannel", "/")};
  const std::string topic(900, 't');
  for (int i = 0; i < 600; ++i) {
    const std::string name = "c" + std::to_string(i);
    tree.addChild(std::make_unique<Channel>(name))->setTopic(topic);
    expected.push_back(channelLine("addchannel", "/" + name + "/", "[]", false, topic));
  }
  configureLimits(
      [](ServerLimits& l) { l.commandLimit = l.messageLimit = l.addressMessageLimit = 0; },
      [](VoiceServer& s) { s.setOutputLimit(16 * 1024); }, &tree);
  // The stuck client logs in and never reads a line.
  auto stuck = client("127.0.0.2");
  stuck->readWelcome();
  stuck->sendLine("protocol version=\"2.1\"");
  ASSERT_TRUE(stuck->confirmVoice());
  stuck->sendLine(
      "connect nick=\"stuck\" password=\"\" bandmode=1 framesize=320 encodedframesize=20 fpp=2");
  ASSERT_TRUE(waitFor([&] {
    VoiceServer::Guard guard(voiceServer());
    const UserSession* user = voiceServer().findUser(stuck->id());
    return user != nullptr && user->loggedIn();
  }));
  auto reader = client("127.0.0.4");
  Lines login = reader->login("reader");
  ASSERT_GE(login.size(), 2u);
  EXPECT_EQ(Lines(login.begin() + 1, login.end() - 1), expected);
  EXPECT_EQ(login.back(), addUserLine(*stuck, "stuck", "/"));

  // Others keep talking in the root; what waits for the stuck client passes the bound.
  const std::string message =
      "message type=2 channel=\"\" message=\"" + std::string(1000, 'm') + "\"";
  bool dropped = false;
  for (int i = 0; i < 2000 && !dropped; ++i) {
    for (const std::string& line : reader->request(message)) {
      dropped = dropped || line == removeUserLine(*stuck, "/");
    }
  }
  EXPECT_TRUE(dropped);
}

// A sender's voice beyond the voice limit is dropped; below it everything passes.
TEST_F(DefencesTest, VoiceBeyondTheLimitIsDropped) {
  configureLimits([](ServerLimits& l) { l.voiceLimit = 10; });
  auto sender = client("127.0.0.2"), receiver = client("127.0.0.4");
  sender->login("s");
  receiver->login("r");
  Bytes voice = datagram({5, 2, 0, 0, static_cast<std::uint8_t>(receiver->id())});
  for (int i = 0; i < 40; ++i) sender->sendDatagram(voice);
  int received = 0;
  while (receiver->readDatagram(std::chrono::milliseconds(500))) ++received;
  // The burst of one second's worth, and what came due while the 40 were sent.
  EXPECT_GE(received, 10);
  EXPECT_LE(received, 13);
}

}  // namespace
}  // namespace quorvane::test
