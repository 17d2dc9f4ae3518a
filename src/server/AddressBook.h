// What the server knows of each client address: its connections, the rate limits its
// connections share, its failed logins and ban, and the refusals it has not logged yet. A record
// outlives the address's connections for a while, so that reconnecting refills nothing. Owned by
// the server; used under the server lock.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <unordered_map>
#include <vector>

#include "server/TokenBucket.h"

namespace quorvane {

struct AddressRecord {
  // What the server refuses an address, each logged at most once a minute.
  enum Refusal { Banned, TooManyPending, TooManyConnections, ServerFull, RefusedJoin, kRefusals };

  struct QuietLog {
    bool logged = false;  // an entry was written, at lastEntry
    std::time_t lastEntry = 0;
    unsigned leftOut = 0;  // refusals since then that were not logged
  };

  bool trusted = false;
  unsigned connections = 0;
  unsigned pending = 0;  // connections that have not logged in
  TokenBucket messages;
  TokenBucket logins;
  std::vector<std::time_t> failures;  // failed connections in the time frame, oldest first
  std::time_t bannedUntil = 0;
  std::time_t lastClosed = 0;
  std::array<QuietLog, kRefusals> quiet{};
};

// How a refusal reads in the log: "Connection from <address> refused: <reason>."
const char* refusalReason(AddressRecord::Refusal kind);

class AddressBook {
 public:
  // The record of an address, made on first use. References stay valid until expire forgets it.
  AddressRecord& at(std::uint32_t address);
  // Forgets the addresses without connections, ban or unlogged refusals whose last connection
  // closed at least `keep` seconds before `now`.
  void expire(std::time_t now, std::time_t keep);
  void forEach(const std::function<void(std::uint32_t, AddressRecord&)>& visit);
  std::size_t size() const { return records_.size(); }

 private:
  std::unordered_map<std::uint32_t, AddressRecord> records_;
};

}  // namespace quorvane
