// Many clients at once against a server whose timer runs every few milliseconds and whose clock
// jumps ahead, so that drops for inactivity race with logins, joins, kicks and disconnects. The
// clients tolerate being dropped at any point; what counts is that the server stays sound (the
// sanitizer builds run this too) and serves a fresh client normally afterwards.
// Guards against races between the timer's drops and the users' own commands.
#include <gtest/gtest.h>

#include <thread>

#include "support/ServerTestSupport.h"
#include "support/TestServer.h"

namespace quorvane::test {
namespace {

constexpr int kThreads = 8;
constexpr int kIterations = 50;
constexpr std::chrono::milliseconds kWait{3000};

// Waits for a line starting with one of the prefixes; false when the server closed or went quiet.
bool awaitLine(TestClient& client, std::initializer_list<const char*> prefixes,
               std::string* found = nullptr) {
  for (;;) {
    std::optional<std::string> line = client.readLine(kWait);
    if (!line) return false;
    for (const char* prefix : prefixes) {
      if (line->rfind(prefix, 0) == 0) {
        if (found != nullptr) *found = *line;
        return true;
      }
    }
  }
}

// Welcome, protocol, hello (answered) and connect, giving up quietly when dropped; the id or 0.
int quietLogin(TestClient& client, const std::string& nick) {
  std::string welcome;
  if (!awaitLine(client, {"welcome id="}, &welcome)) return 0;
  const int id = std::atoi(welcome.c_str() + 11);
  client.sendLine("protocol version=\"2.1\"");
  client.sendHello(id);
  // Keep-alives may come first once other clients are logged in; only the reply counts.
  for (;;) {
    std::optional<Bytes> reply = client.readDatagram(kWait);
    if (!reply) return 0;
    if ((*reply)[0] == 2) break;
  }
  client.sendLine("connect nick=\"" + nick +
                  "\" password=\"\" bandmode=1 framesize=320 encodedframesize=20 fpp=2");
  std::string answer;
  if (!awaitLine(client, {"accepted", "error"}, &answer)) return 0;
  return answer.rfind("accepted", 0) == 0 ? id : 0;
}

void runOnce(ManualClock& clock, int hostPort, int soundPort, int thread, int iteration) {
  const int scenario = (thread + iteration) % 6;
  const bool local = scenario == 4;
  TestClient client(hostPort, soundPort,
                    local ? "127.0.0.1" : "127.0.0." + std::to_string(2 + 2 * thread));
  const std::string shared = "/s" + std::to_string(iteration % 3) + "/";
  switch (scenario) {
    case 0:  // gone before it reads its welcome
      return;
    case 1:  // datagrams of every sort, then gone
      client.sendDatagram(datagram({5, 2, 0, 0, static_cast<std::uint8_t>(iteration)}));
      client.sendDatagram(datagram({3, 2, 0, 0}));
      client.sendDatagram(Bytes(149, 1));
      client.sendHello(iteration);
      return;
    case 5:  // makes everyone silent for a while
      clock.advance(100);
      break;
    default:
      break;
  }
  const int id = quietLogin(client, "t" + std::to_string(thread));
  if (id == 0) return;
  client.sendLine(joinCommand(scenario == 3 ? "/deep/" + std::to_string(thread) + "/" : shared,
                              local ? "x" : ""));
  client.sendLine("message type=2 message=\"hello\" channel=\"" + shared + "\"");
  if (local) {
    // A recent id: likely a client of another thread, perhaps in the same channel.
    client.sendLine("kick id=" + std::to_string(id - 1 - iteration % 3) + " channel=\"" + shared +
                    "\"");
  }
  client.sendLine("ping");
  if (!awaitLine(client, {"pong"})) return;
  if (scenario == 2 || scenario == 4) client.sendLine("quit");
}

TEST(StressTest, ClientsComeAndGoWhileTheTimerDropsTheSilentOnes) {
  ManualClock clock(100000);
  TestServer server([&clock](VoiceServer& s) {
    s.setClock(clock.function());
    s.setTimerPeriod(5);
  });
  ASSERT_TRUE(server.started());

  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < kIterations; ++i) {
        runOnce(clock, server.hostPort(), server.soundPort(), t, i);
      }
    });
  }
  for (std::thread& worker : workers) worker.join();

  // Every client has gone; once the server has noticed, nothing of them may remain.
  ASSERT_TRUE(waitFor([&] {
    VoiceServer::Guard guard(server.server());
    return server.server().userCount() == 0;
  }));
  {
    VoiceServer::Guard guard(server.server());
    EXPECT_EQ(server.server().rootChannel().childCount(), 0u);
    EXPECT_TRUE(server.server().rootChannel().operators().empty());
  }
  TestClient fresh(server.hostPort(), server.soundPort(), "127.0.0.2");
  const Lines login = fresh.login("fresh");
  EXPECT_EQ(login, firstLoginLines(fresh, "fresh"));
  EXPECT_TRUE(hasUser(server.server(), fresh.id()));
}

}  // namespace
}  // namespace quorvane::test
