// The client library's own behaviour beyond what every end-to-end test uses: the automatic login
// and its refusal, the addresses its sockets come from, noticing the server stop, many clients
// in one ClientLoop, and a client that reads at a set pace.
// Guards against tools that log in wrongly, from the wrong address, or read more than allowed.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>
#include <vector>

#include "client/ClientLoop.h"
#include "client/ProtocolClient.h"
#include "support/TestClient.h"
#include "support/TestServer.h"

namespace quorvane {
namespace {

using test::kPatience;
using test::TestServer;

ProtocolClient::Options optionsFor(TestServer& server, const std::string& nick) {
  ProtocolClient::Options options;
  options.hostPort = server.hostPort();
  options.soundPort = server.soundPort();
  options.voiceAddress = test::loopbackAddressesDistinct() ? "127.0.0.2" : "127.0.0.1";
  options.login.nick = nick;
  return options;
}

TEST(ProtocolClientTest, LogsInWithEscapedDetails) {
  TestServer server;
  ASSERT_TRUE(server.started());
  ProtocolClient client;
  ASSERT_TRUE(client.login(optionsFor(server, "a \"b\""), kPatience)) << client.lastError();
  std::optional<ServerLine> accepted;
  do {
    accepted = client.nextLine(kPatience);
  } while (accepted && !accepted->is("accepted"));
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->intParam("id"), client.userId());
  EXPECT_EQ(accepted->stringParam("nick"), "a \"b\"");
  EXPECT_EQ(accepted->stringParam("address"), client.voiceAddress());
  EXPECT_EQ(accepted->intParam("soundport"), client.voicePort());
}

// The local address of a socket as a dotted quad.
std::string localAddress(int fd) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  char text[INET_ADDRSTRLEN] = {};
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return "?";
  return ::inet_ntop(AF_INET, &local.sin_addr, text, sizeof text);
}

// The server honours a hello only from the address of the user's own connection: an address
// given for either socket alone binds both, and the login goes through.
TEST(ProtocolClientTest, OneAddressGivenBindsBothSockets) {
  if (!test::loopbackAddressesDistinct()) GTEST_SKIP() << "one loopback address here";
  TestServer server;
  ASSERT_TRUE(server.started());
  struct Case {
    const char* voice;
    const char* connection;
    const char* bound;
  };
  for (const Case& c : {Case{"127.0.0.3", "", "127.0.0.3"}, Case{"", "127.0.0.4", "127.0.0.4"},
                        Case{"127.0.0.5", "127.0.0.5", "127.0.0.5"}}) {
    ProtocolClient::Options options = optionsFor(server, "x");
    options.voiceAddress = c.voice;
    options.connectionAddress = c.connection;
    ProtocolClient client;
    ASSERT_TRUE(client.login(options, kPatience)) << c.bound << ": " << client.lastError();
    EXPECT_EQ(client.voiceAddress(), c.bound);
    EXPECT_EQ(localAddress(client.tcpSocket()), c.bound);
    client.quit();
  }
}

TEST(ProtocolClientTest, RefusedLoginLeavesTheClientConnected) {
  TestServer server([](VoiceServer& s) { s.setServerPassword("secret"); });
  ASSERT_TRUE(server.started());
  ProtocolClient client;
  EXPECT_FALSE(client.login(optionsFor(server, "x"), kPatience));
  EXPECT_EQ(client.loginError(), 300);
  EXPECT_EQ(client.state(), ProtocolClient::State::Connected);
}

TEST(ProtocolClientTest, NoticesTheServerStopping) {
  auto server = std::make_unique<TestServer>();
  ASSERT_TRUE(server->started());
  ProtocolClient client;
  ASSERT_TRUE(client.login(optionsFor(*server, "x"), kPatience));
  server->stop();
  std::optional<ServerLine> line;
  do {
    line = client.nextLine(kPatience);
  } while (line && !line->is("quit"));
  EXPECT_TRUE(line);
  EXPECT_TRUE(client.waitUntil([&] { return client.state() == ProtocolClient::State::Closed; },
                               kPatience));
  EXPECT_FALSE(client.sendLine(kPingLine));
}

// Counts pongs; each client pings three times once logged in.
class PingingHandler : public ProtocolClient::Handler {
 public:
  void onLine(ProtocolClient&, const ServerLine& line) override {
    pongs += line.is("pong") ? 1 : 0;
    malformed += line.checkForm() ? 0 : 1;
  }
  void onDatagram(ProtocolClient&, std::span<const std::uint8_t>) override {}
  void onLoggedIn(ProtocolClient& client) override {
    for (int i = 0; i < 3; ++i) client.sendLine(kPingLine);
  }
  void onClosed(ProtocolClient&, const std::string&) override { ++closed; }
  void onBadLineEnd(ProtocolClient&, std::string_view) override { ++malformed; }

  int pongs = 0;
  int malformed = 0;
  int closed = 0;
};

TEST(ClientLoopTest, ServesManyClientsAndTimersOnOneThread) {
  constexpr int kClients = 40;
  // More clients from one address than may wait for their login by default.
  TestServer server([](VoiceServer& s) {
    ServerLimits limits;
    limits.pendingPerAddress = kClients;
    s.setLimits(limits);
  });
  ASSERT_TRUE(server.started());
  ClientLoop loop;
  ASSERT_TRUE(loop.valid());
  PingingHandler handler;
  std::vector<std::unique_ptr<ProtocolClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<ProtocolClient>());
    clients.back()->setHandler(&handler);
    ASSERT_TRUE(clients.back()->open(optionsFor(server, "c" + std::to_string(i))));
    ASSERT_TRUE(loop.attach(*clients.back()));
  }
  int fired = 0;
  const ClientLoop::TimerId cancelled = loop.scheduleAfter(std::chrono::milliseconds(1),
                                                           [&] { fired += 100; });
  loop.scheduleAfter(std::chrono::milliseconds(2), [&] { ++fired; });
  loop.cancel(cancelled);

  EXPECT_TRUE(loop.runUntil([&] { return handler.pongs == 3 * kClients && fired != 0; },
                            ClientLoop::Clock::now() + kPatience));
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(handler.malformed, 0);
  EXPECT_EQ(handler.closed, 0);
  for (const auto& client : clients) {
    loop.detach(*client);
    client->quit();
  }
}

// Notes how many bytes of whole lines had arrived, and when, for every line.
class PacedHandler : public ProtocolClient::Handler {
 public:
  void onLine(ProtocolClient&, const ServerLine& line) override {
    bytes += line.text().size() + 2;
    arrivals.push_back({ClientLoop::Clock::now(), bytes});
    if (line.is("messagedeliver")) messages.push_back(line.stringParam("message"));
  }
  void onDatagram(ProtocolClient&, std::span<const std::uint8_t>) override {}
  void onLoggedIn(ProtocolClient&) override {}
  void onClosed(ProtocolClient&, const std::string&) override { ++closed; }
  void onBadLineEnd(ProtocolClient&, std::string_view) override {}

  std::size_t bytes = 0;
  std::vector<std::pair<ClientLoop::Clock::time_point, std::size_t>> arrivals;
  std::vector<std::string> messages;
  int closed = 0;
};

TEST(ClientLoopTest, PacedClientNeverReadsAheadOfItsPaceAndMissesNothing) {
  constexpr double kPace = 4000;
  constexpr int kMessages = 8;
  TestServer server;
  ASSERT_TRUE(server.started());
  ClientLoop loop;
  PacedHandler handler;
  ProtocolClient reader;
  reader.setHandler(&handler);
  ProtocolClient::Options options = optionsFor(server, "slow");
  options.readBytesPerSecond = kPace;
  const ClientLoop::Clock::time_point opened = ClientLoop::Clock::now();
  ASSERT_TRUE(reader.open(options));
  ASSERT_TRUE(loop.attach(reader));
  ASSERT_TRUE(loop.runUntil([&] { return reader.loggedIn(); },
                            ClientLoop::Clock::now() + kPatience));

  ProtocolClient sender;
  ASSERT_TRUE(sender.login(optionsFor(server, "fast"), kPatience));
  // About 8 kB at once, within the server's message burst: twice the reader's pace.
  for (int m = 0; m < kMessages; ++m) {
    sender.sendLine(messageToUserLine(reader.userId(), std::to_string(m) + std::string(990, 'x')));
  }
  EXPECT_TRUE(loop.runUntil([&] { return handler.messages.size() == kMessages; },
                            ClientLoop::Clock::now() + kPatience));
  for (int m = 0; m < static_cast<int>(handler.messages.size()); ++m) {
    EXPECT_EQ(handler.messages[m].substr(0, 1), std::to_string(m));
  }
  // Whole lines are a part of what was read, and nothing is read faster than the pace allows
  // since the client opened.
  for (const auto& [when, bytes] : handler.arrivals) {
    EXPECT_LE(static_cast<double>(bytes),
              kPace * std::chrono::duration<double>(when - opened).count());
  }
  EXPECT_EQ(handler.closed, 0);
  loop.detach(reader);
  reader.quit();
}

}  // namespace
}  // namespace quorvane
