// The logged-in sessions of a load run, shared by all worker threads, from which clients pick
// the recipients of text messages and voice. Thread-safe (one mutex).
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
  // A random peer other than `self`; with `voice` one whose id can be named in a datagram.
  bool pick(std::mt19937_64& random, std::uint32_t self, bool voice, Peer& out) const;

 private:
  struct Table {
    std::vector<Peer> peers;
    std::unordered_map<std::uint32_t, std::size_t> index;
  };
  static void insert(Table& table, const Peer& peer);
  static void erase(Table& table, std::uint32_t key);
  static bool pickFrom(const Table& table, std::mt19937_64& random, std::uint32_t self, Peer& out);

  std::atomic<std::uint32_t> nextKey_{1};
  mutable std::mutex lock_;
  Table all_;
  Table voice_;
};

}  // namespace quorvane
