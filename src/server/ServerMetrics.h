// What the server counts for monitoring: gauges of users and channels, and counters that only
// grow. Bumped where things happen (under the loop lock, or on the voice thread for voice) and
// read at any time by any thread without a lock: relaxed atomics, each one on its own. Owned by
// the VoiceServer.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "transport/TrafficCounters.h"

namespace quorvane {

struct ServerMetrics {
  using Counter = std::atomic<std::uint64_t>;

  // Why a connection was refused: the AddressRecord refusals first, in their order.
  enum Refusal { Banned, TooManyPending, TooManyConnections, ServerFull, NoFreeId, kRefusals };
  // The commands, in the dispatch's order, then every other line (unknown or blank).
  static constexpr int kCommands = 13;
  static constexpr std::array<const char*, kCommands> kCommandNames{
      "protocol", "connect", "quit", "changenick", "ping", "join", "pwc",
      "whoami", "changestatus", "message", "kick", "admin", "other"};
  // Why a voice datagram was not forwarded.
  enum VoiceDrop {
    Ignored,           // not 150 bytes, or of a kind the server does not act on
    HelloRefused,      // a hello for no user, or not from the user's own address
    ForwardingOff,
    NoRecipient,       // the user it names does not exist
    NotAllowed,        // not from a logged-in user's endpoint to a member of its channel
    VoiceLimit,
    kVoiceDrops
  };
  enum Drop { Inactivity, LoginTimeout, kDrops };

  // Gauges.
  Counter usersConnected{0};
  Counter usersLoggedIn{0};
  Counter channels{0};        // the root included
  Counter staticChannels{0};  // of those, the root and the static ones

  Counter accepted{0};
  std::array<Counter, kRefusals> refused{};
  std::array<Counter, kCommands> linesReceived{};
  Counter rateLimitWaits{0};
  std::array<Counter, kDrops> dropped{};
  Counter voiceReceived{0};
  Counter voiceForwarded{0};
  std::array<Counter, kVoiceDrops> voiceDropped{};
};

}  // namespace quorvane
