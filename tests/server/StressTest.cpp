// Many clients at once: a burst of connections, and clients against a server whose timer runs
// every few milliseconds and whose clock jumps ahead, so that drops for inactivity race with
// logins, joins, kicks and disconnects; these tolerate being dropped at any point, and what counts
// is that the server stays sound (the sanitizer builds run this too) and serves afterwards.
// Guards against connections lost in a burst, and races between the timer's drops and commands.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "support/ServerTestSupport.h"
#include "support/TestServer.h"

namespace quorvane::test {
namespace {

constexpr int kThreads = 8;
constexpr int kIterations = 50;
constexpr std::chrono::milliseconds kWait{3000};

void runOnce(ManualClock& clock, int hostPort, int soundPort, int thread, int iteration) {
  const int scenario = (thread + iteration) % 6;
  const bool local = scenario == 4;
  ProtocolClient::Options options;
  options.hostPort = hostPort;
  options.soundPort = soundPort;
  options.voiceAddress = local ? "127.0.0.1" : "127.0.0." + std::to_string(2 + 2 * thread);
  options.login.nick = "t" + std::to_string(thread);
  options.autoLogin = scenario > 1;
  const std::string shared = "/s" + std::to_string(iteration % 3) + "/";
  ProtocolClient client;
  if (scenario == 5) clock.advance(100);  // makes everyone silent for a while
  if (scenario == 0) {                    // gone before it reads its welcome
    client.open(options);
    return;
  }
  if (scenario == 1) {  // datagrams of every sort, then gone
    if (!client.open(options)) return;
    for (const Bytes& bytes :
         {datagram({5, 2, 0, 0, static_cast<std::uint8_t>(iteration)}), datagram({3, 2, 0, 0}),
          Bytes(149, 1), datagram({1, 2, static_cast<std::uint8_t>(iteration), 0})}) {
      client.sendDatagram(bytes);
    }
    return;
  }
  // From here on any step may fail: the client may be dropped at any time.
  if (!client.login(options, kWait)) return;
  const int id = client.userId();
  client.sendLine(joinCommand(scenario == 3 ? "/deep/" + std::to_string(thread) + "/" : shared,
                              local ? "x" : ""));
  client.sendLine("message type=2 message=\"hello\" channel=\"" + shared + "\"");
  if (local) {
    // A recent id: likely a client of another thread, perhaps in the same channel.
    client.sendLine("kick id=" + std::to_string(id - 1 - iteration % 3) + " channel=\"" + shared +
                    "\"");
  }
  client.sendLine("ping");
  auto line = client.nextLine(kWait);
  while (line && !line->is("pong")) line = client.nextLine(kWait);
  if (line && (scenario == 2 || scenario == 4)) client.quit();
}

// All from one address, as after a restart of a server that many users reach through one NAT:
// clients that connect in the same instant are each greeted, each with an id of its own.
TEST(StressTest, AConnectionBurstIsAcceptedWhole) {
  constexpr int kClients = 200;
  TestServer server([](VoiceServer& s) {
    ServerLimits limits;
    limits.pendingPerAddress = kClients;
    s.setLimits(limits);
  });
  ASSERT_TRUE(server.started());
  ProtocolClient::Options options;
  options.hostPort = server.hostPort();
  options.soundPort = server.soundPort();
  options.autoLogin = false;
  std::vector<ProtocolClient> clients(kClients);
  for (ProtocolClient& client : clients) ASSERT_TRUE(client.open(options)) << client.lastError();
  std::set<int> ids;
  for (ProtocolClient& client : clients) {
    const std::optional<ServerLine> welcome = client.nextLine(kPatience);
    if (welcome && welcome->is("welcome")) ids.insert(client.userId());
  }
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(kClients));
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
