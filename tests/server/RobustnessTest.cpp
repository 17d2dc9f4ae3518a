// The server under what real users do: all reconnecting at once, and clients that stop reading.
// Guards against connections lost in a burst, and memory that grows without bound for a client that
// stops reading.
#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// From the sanitizer runtime's allocator interface (GCC does not install that header).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <memory>
#include <set>
#include <vector>

#include "server/UserSession.h"
#include "support/TestClient.h"
#include "support/TestServer.h"

namespace quorvane::test {
namespace {

// The bytes of heap this process has in use (0 where it cannot be told). Memory that is freed
// counts as given back even where the allocator keeps it, as the sanitizers' quarantine does.
long long heapInUse() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return static_cast<long long>(__sanitizer_get_current_allocated_bytes());
#elif defined(__GLIBC__)
  const struct mallinfo2 info = ::mallinfo2();
  return static_cast<long long>(info.uordblks + info.hblkhd);
#else
  return 0;
#endif
}

TEST(RobustnessTest, AConnectionBurstIsAcceptedWhole) {
  constexpr int kClients = 200;
  // All from one address, as after a restart of a server that many users reach through one NAT.
  TestServer server([](VoiceServer& s) {
    ServerLimits limits;
    limits.pendingPerAddress = kClients;
    s.setLimits(limits);
  });
  ASSERT_TRUE(server.started());
  // Every client starts its connection in the same instant, without waiting for the others.
  ProtocolClient::Options options;
  options.hostPort = server.hostPort();
  options.soundPort = server.soundPort();
  options.autoLogin = false;
  std::vector<std::unique_ptr<ProtocolClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<ProtocolClient>());
    ASSERT_TRUE(clients.back()->open(options)) << clients.back()->lastError();
  }
  // Each of them is greeted, each with an id of its own.
  std::set<int> ids;
  for (auto& client : clients) {
    const std::optional<ServerLine> welcome = client->nextLine(kPatience);
    EXPECT_TRUE(welcome && welcome->is("welcome")) << "client " << ids.size() + 1;
    if (welcome) ids.insert(client->userId());
    client->close();
  }
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(kClients));
}

TEST(RobustnessTest, AClientThatStopsReadingIsDroppedAndMemoryStaysBounded) {
  // The sender floods as fast as it can: no rate limit slows it here.
  TestServer server([](VoiceServer& s) {
    ServerLimits limits;
    limits.commandLimit = limits.messageLimit = limits.addressMessageLimit = 0;
    s.setLimits(limits);
  });
  ASSERT_TRUE(server.started());
  TestClient stuck(server.hostPort(), server.soundPort(), "127.0.0.2");
  TestClient sender(server.hostPort(), server.soundPort(), "127.0.0.4");
  stuck.login("stuck");
  sender.login("sender");
  sender.linesBeforePong();  // the adduser for the stuck client

  // Up to 32 MiB of messages to a client that reads nothing: far beyond the output limit and
  // what the kernel's buffers hold. The heap in use is sampled as the flood goes on.
  const std::string text(1000, 'm');
  const std::string line = "message to=" + std::to_string(stuck.id()) + " message=\"" + text +
                           "\" type=1 channel=\"\"";
  const long long before = heapInUse();
  long long peak = before;
  std::vector<std::string> heard;
  for (int i = 0; i < 32 * 1024 && heard.empty(); ++i) {
    ASSERT_TRUE(sender.sendLine(line));
    if (i % 512 == 511) {
      for (const std::string& got : sender.linesBeforePong()) heard.push_back(got);
      peak = std::max(peak, heapInUse());
    }
  }
  for (const std::string& got : sender.linesBeforePong()) heard.push_back(got);
  ASSERT_EQ(heard, std::vector<std::string>{"removeuser id=" + std::to_string(stuck.id()) +
                                            " channel=\"/\""});
  {
    VoiceServer::Guard guard(server.server());
    EXPECT_EQ(server.server().findUser(stuck.id()), nullptr);
  }
  // At most the 1 MiB output limit was ever held for it, and it was all given back.
  EXPECT_LT(peak - before, 3 * 1024 * 1024);
  EXPECT_LT(heapInUse() - before, 256 * 1024);
}

}  // namespace
}  // namespace quorvane::test
