// The logged-in sessions of a load run, shared by all worker threads, from which clients pick
// the recipients of text messages and find the sessions behind the ids of voice recipients.
// Thread-safe (one mutex).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <unordered_map>
#include <vector>

namespace quorvane {

class PeerDirectory {
 public:
  // The server's user id and the session's key, unique for the run.
  struct Peer {
    int id = 0;
    std::uint32_t key = 0;
  };

  // Only ids 1..255 can be named in a voice datagram.
  static constexpr int kLargestVoiceId = 255;

  // A new session key; 0 is never handed out.
  std::uint32_t newSessionKey() { return nextKey_.fetch_add(1, std::memory_order_relaxed); }

  void add(const Peer& peer);
  void remove(std::uint32_t key);
  // A random peer other than `self`.
  bool pick(std::mt19937_64& random, std::uint32_t self, Peer& out) const;
  // The session that has the user id `id` now; false when none has.
  bool find(int id, Peer& out) const;

 private:
  std::atomic<std::uint32_t> nextKey_{1};
  mutable std::mutex lock_;
  std::vector<Peer> peers_;
  // Where each session's key stands in peers_, and the session holding each id.
  std::unordered_map<std::uint32_t, std::size_t> byKey_;
  std::unordered_map<int, std::uint32_t> byId_;
};

}  // namespace quorvane
