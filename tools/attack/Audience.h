// The honest clients of a measurement, each from an address of its own: they log in with the
// server's password, count the lines and bytes they receive, and note when the server drops
// them. They read everything, read at a pace, or stop reading once logged in. The audience owns
// its clients; everything runs on the loop's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "client/ClientLoop.h"
#include "client/ProtocolClient.h"

namespace quorvane {

class Audience {
 public:
  using Clock = ClientLoop::Clock;

  struct Member final : ProtocolClient::Handler {
    void onLine(ProtocolClient& client, const ServerLine& line) override;
    void onDatagram(ProtocolClient&, std::span<const std::uint8_t>) override {}
    void onLoggedIn(ProtocolClient& client) override;
    void onClosed(ProtocolClient& client, const std::string& reason) override;
    void onBadLineEnd(ProtocolClient&, std::string_view) override {}

    ProtocolClient client;
    std::uint64_t lines = 0;
    std::uint64_t bytes = 0;
    // Lines of one word ("messagedeliver", say) counted apart.
    std::uint64_t marked = 0;
    const std::string* mark = nullptr;
    bool loggedIn = false;
    // Closed by the server (or the connection failed) after login. A client that reads slowly
    // or not at all learns it late or never: the server's close waits behind what it had sent.
    bool dropped = false;
    Clock::time_point droppedAt{};
    // When each user id was first announced gone ("removeuser"): how a member of the same
    // channel learns at once that the server dropped someone.
    std::map<int, Clock::time_point> removed;
  };

  // `base` gives the ports and the password; each client gets its own address and nick.
  Audience(ClientLoop& loop, const ProtocolClient::Options& base);
  // Every client leaves with "quit".
  ~Audience();
  Audience(const Audience&) = delete;
  Audience& operator=(const Audience&) = delete;

  // Logs in one client from each address, each reading at `bytesPerSecond` (0: everything), and
  // serves the loop until all are logged in or the deadline passes. Returns how many are.
  std::size_t logIn(const std::vector<std::string>& addresses, Clock::time_point deadline,
                    double bytesPerSecond = 0);
  // Lines whose word is `word` are also counted in `marked`.
  void mark(const std::string& word);
  // The clients stop reading: they stay connected, and what the server sends them piles up.
  void stopReading();
  // Serves the loop until no client has received anything for `quiet`, or the deadline passes.
  void settle(Clock::duration quiet, Clock::time_point deadline);

  std::size_t size() const { return members_.size(); }
  const Member& member(std::size_t index) const { return *members_[index]; }
  ProtocolClient& client(std::size_t index) { return members_[index]->client; }
  // Clients that learnt that the server dropped them.
  std::size_t droppedCount() const;

 private:
  ClientLoop& loop_;
  ProtocolClient::Options base_;
  std::string mark_;
  std::vector<std::unique_ptr<Member>> members_;
  bool reading_ = true;
};

// Loopback address number `n` (1 to 254) of block `block`: 127.0.<block>.<n>.
std::string loopbackAddress(int block, std::size_t n);

}  // namespace quorvane
