// The connections of one attacking address. It holds up to `connections` of them, opens new
// ones as fast as the server takes them (at most `pending` at a time that have not logged in,
// or not been greeted when they do not log in), opens another at once for each one the server
// closes, and lets its script send on every connection whose output has drained. Bounded by the
// count of connections it opens and by the time its loop runs. The pool owns its clients;
// everything runs on the loop's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/ClientLoop.h"
#include "client/ProtocolClient.h"

namespace quorvane {

class AttackPool {
 public:
  using Clock = ClientLoop::Clock;

  struct Options {
    std::string address;  // every connection comes from here
    std::string host = "127.0.0.1";
    int hostPort = 0;
    int soundPort = 0;
    // Log in with this password (voice socket, hello, "connect"), or only connect and hold.
    bool logIn = true;
    std::string password;
    std::size_t connections = 256;
    std::size_t pending = 32;
    std::size_t attempts = 10000;
  };

  // What each connection does. `send` is called every millisecond for each open connection with
  // little unsent output, whatever its state (it decides whether to send); `line` gets every
  // line that arrives. Either may be empty.
  struct Script {
    std::function<void(std::size_t index, ProtocolClient& client)> send;
    std::function<void(std::size_t index, ProtocolClient& client, const ServerLine& line)> line;
  };

  struct Counts {
    std::size_t attempts = 0;   // connections opened
    std::size_t greeted = 0;    // ... that got "welcome"
    std::size_t refused = 0;    // ... closed by the server before "welcome"
    std::size_t loggedIn = 0;   // ... that logged in
    std::size_t dropped = 0;    // ... closed by the server after "welcome"
    std::size_t mostHeld = 0;   // the most greeted and open at one time
    std::size_t unopened = 0;   // sockets this process could not make
    std::uint64_t linesSent = 0;
  };

  AttackPool(ClientLoop& loop, const Options& options, Script script);
  // Closes every connection with a reset.
  ~AttackPool();
  AttackPool(const AttackPool&) = delete;
  AttackPool& operator=(const AttackPool&) = delete;

  // Opens the first connections and starts sending; the loop does the rest while it runs.
  void start();
  // Greeted and open now.
  std::size_t held() const { return held_; }
  // Counts so far (lines sent included).
  Counts counts() const;
  // True once every allowed connection has been opened.
  bool attemptsUsed() const { return counts_.attempts >= options_.attempts; }

 private:
  struct Member final : ProtocolClient::Handler {
    void onLine(ProtocolClient& client, const ServerLine& line) override;
    void onDatagram(ProtocolClient&, std::span<const std::uint8_t>) override {}
    void onLoggedIn(ProtocolClient& client) override;
    void onClosed(ProtocolClient& client, const std::string& reason) override;
    void onBadLineEnd(ProtocolClient&, std::string_view) override {}

    AttackPool* pool = nullptr;
    std::size_t index = 0;
    bool open = false;
    bool greeted = false;
    bool settled = false;  // logged in (or greeted, when the pool does not log in)
    ProtocolClient client;
  };

  void openMore();
  void settle(Member& member);
  void pump();

  ClientLoop& loop_;
  Options options_;
  Script script_;
  std::vector<std::unique_ptr<Member>> members_;
  std::vector<std::size_t> free_;
  std::size_t pending_ = 0;
  std::size_t held_ = 0;
  Counts counts_;
  ClientLoop::TimerId pumpTimer_{};
};

}  // namespace quorvane
