// What the voice path knows of the users, kept apart from the rest of the server so that voice
// never waits for control work: each user's connection address, confirmed voice endpoint, login
// and channel, and the buckets of the voice limit. Control work updates it (holding the loop lock,
// then this lock); the voice thread reads it with this lock alone, held for one lookup at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "server/ServerMetrics.h"
#include "server/TokenBucket.h"
#include "transport/Endpoint.h"

namespace quorvane {

class VoiceDirectory {
 public:
  using Clock = std::chrono::steady_clock;

  struct Settings {
    bool addressCheck = true;  // hellos and voice only from the users' own addresses
    bool forwarding = true;
    unsigned voiceLimit = 0;   // datagrams a second per sender; 0: no limit
  };

  void configure(const Settings& settings);
  // A user from its connection's address; no endpoint yet.
  void addUser(int id, std::uint32_t connectionAddress);
  void removeUser(int id);
  // The endpoint of the user's last hello that counted.
  void setEndpoint(int id, const Endpoint& endpoint);
  void setLoggedIn(int id, bool loggedIn);
  // The user's channel, as a token compared for equality only; none when in no channel.
  void setChannel(int id, const void* channel);
  void clear();

  // Whether a hello naming `id` from `from` counts: the user exists and, with the address check
  // on, `from` is the address of its connection.
  bool helloCounts(int id, const Endpoint& from) const;
  // Where a datagram from `from` naming user `to` is forwarded, or nothing (and why, into `why`
  // when given): with the address check on, `from` must be a logged-in user's confirmed endpoint
  // and `to` a logged-in member of its channel; within the sender's voice limit.
  std::optional<Endpoint> forwardTarget(const Endpoint& from, int to, Clock::time_point now,
                                        ServerMetrics::VoiceDrop* why = nullptr);
  // Forgets the buckets of senders not heard from for long enough.
  void tidy(Clock::time_point now);

 private:
  struct Entry {
    std::uint32_t connectionAddress = 0;
    Endpoint endpoint;
    bool hasEndpoint = false;
    bool loggedIn = false;
    const void* channel = nullptr;
  };
  void forgetEndpoint(int id, const Entry& entry);

  mutable std::mutex lock_;
  Settings settings_;
  std::unordered_map<int, Entry> users_;
  std::unordered_map<std::uint64_t, int> byEndpoint_;  // the last user to claim each endpoint
  std::unordered_map<std::uint64_t, TokenBucket> buckets_;
};

}  // namespace quorvane
