// Many ProtocolClients of the bench on one ClientLoop, without automatic login: opened a window
// at a time and counted once greeted. Their lines and closes go to the owner's callbacks with the
// client's index. The pool owns the clients; everything runs on the loop's thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/ClientLoop.h"
#include "client/ProtocolClient.h"

namespace quorvane {

class ClientPool {
 public:
  using Clock = ClientLoop::Clock;
  using LineCallback = std::function<void(std::size_t index, const ServerLine& line)>;

  // The loopback addresses the connections come from, in turn: the kernel then finds a free
  // local port at once for each of tens of thousands of connections to one server port.
  static constexpr std::size_t kSourceAddresses = 8;
  // Source address `slot` (127.0.0.2 and up: never 127.0.0.1, whose clients the server takes
  // for its own), and the slot of the client at `index`.
  static std::string sourceAddress(std::size_t slot);
  static std::size_t sourceSlot(std::size_t index) { return index % kSourceAddresses; }

  // `options` is used for every client; autoLogin is switched off.
  ClientPool(ClientLoop& loop, const ProtocolClient::Options& options);
  // Closes every client with a reset, so no connection lingers in TIME_WAIT.
  ~ClientPool();
  ClientPool(const ClientPool&) = delete;
  ClientPool& operator=(const ClientPool&) = delete;

  void onLine(LineCallback callback) { onLine_ = std::move(callback); }

  // Opens `count` more clients, at most `window` of them awaiting their greeting at a time, and
  // serves the loop until each is greeted or has failed, or the deadline passes. Returns the
  // number greeted so far in all.
  std::size_t connect(std::size_t count, std::size_t window, Clock::time_point deadline);

  std::size_t size() const { return members_.size(); }
  ProtocolClient& client(std::size_t index) { return members_[index]->client; }
  // Greeted and not closed since.
  bool open(std::size_t index) const;
  std::size_t greetedCount() const { return greeted_; }
  // Clients the peer closed or that failed, greeted or not.
  std::size_t closedCount() const { return closed_; }
  // Clients whose sockets could not even be made (the bench's own descriptor limit).
  std::size_t unopenedCount() const { return unopened_; }

 private:
  struct Member final : ProtocolClient::Handler {
    void onLine(ProtocolClient& client, const ServerLine& line) override;
    void onDatagram(ProtocolClient&, std::span<const std::uint8_t>) override {}
    void onLoggedIn(ProtocolClient&) override {}
    void onClosed(ProtocolClient& client, const std::string& reason) override;
    void onBadLineEnd(ProtocolClient&, std::string_view) override {}

    ClientPool* pool = nullptr;
    std::size_t index = 0;
    bool greeted = false;
    bool closed = false;
    ProtocolClient client;
  };

  // Opens clients up to the window; called again whenever one is greeted or fails.
  void openMore();
  void settled() {
    --pending_;
    openMore();
  }

  ClientLoop& loop_;
  ProtocolClient::Options options_;
  LineCallback onLine_;
  std::vector<std::unique_ptr<Member>> members_;
  std::size_t toOpen_ = 0;
  std::size_t window_ = 0;
  std::size_t pending_ = 0;
  std::size_t greeted_ = 0;
  std::size_t closed_ = 0;
  std::size_t unopened_ = 0;
};

}  // namespace quorvane
