// The client library beyond what every end-to-end test and tool run uses: the edges of
// ServerLine's check of the exact layout of every line the server writes, and a client that logs
// in on a ClientLoop and reads at a set pace, beside the loop's timers.
// Guards against the check of server lines passing a malformed line (or failing a good one), and
// a slow reader that reads more than its pace allows or loses lines.
#include <gtest/gtest.h>

#include <vector>

#include "client/ClientCommands.h"
#include "client/ClientLoop.h"
#include "client/ProtocolClient.h"
#include "client/ServerLine.h"
#include "support/TestClient.h"
#include "support/TestServer.h"

namespace quorvane {
namespace {

using test::kPatience;
using test::TestServer;

// Every line the end-to-end tests read is checked too (TestClient); these are the edges.
TEST(ServerLineTest, AcceptsTheEdgesOfWhatTheServerWrites) {
  const char* const lines[] = {
      "youare id=3 nick=\"\" address=\"\" soundport=-1 bandmode=-1 framesize=-1 "
      "encodedframesize=-1",
      "pwc  channel=\"/\"",
      "updatechannel channel=\"/\" protected=1 topic=\"\" operators=[]",
      "updatechannel channel=\"/\" protected=1 topic=\"\" operators=[3,7,12]",
      "adduser id=2 nick=\"a \\\"q\\\" b\" address=\"127.0.0.2\" soundport=4000 channel=\"/\" "
      "bandmode=1 framesize=320 encodedframesize=20 fpp=2 forward=0 statusmode=0 "
      "statusmessage=\"\"",
      "updateuser id=2 nick=\"n\" address=\"127.0.0.2\" soundport=4000 channel=\"/\" bandmode=1 "
      "framesize=320 encodedframesize=20 fpp=2 statusmode=3 statusmessage=\"away\\r\\nnow\"",
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

ProtocolClient::Options optionsFor(TestServer& server, const std::string& nick) {
  ProtocolClient::Options options;
  options.hostPort = server.hostPort();
  options.soundPort = server.soundPort();
  options.voiceAddress = test::loopbackAddressesDistinct() ? "127.0.0.2" : "127.0.0.1";
  options.login.nick = nick;
  return options;
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
  ASSERT_TRUE(loop.valid());
  int fired = 0;
  const ClientLoop::TimerId cancelled = loop.scheduleAfter(std::chrono::milliseconds(1),
                                                           [&] { fired += 100; });
  loop.scheduleAfter(std::chrono::milliseconds(2), [&] { ++fired; });
  loop.cancel(cancelled);
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
  EXPECT_TRUE(loop.runUntil([&] { return handler.messages.size() == kMessages && fired != 0; },
                            ClientLoop::Clock::now() + kPatience));
  EXPECT_EQ(fired, 1) << "a cancelled timer fired, or a due one did not";
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
