// What the event loops count for monitoring: counters that only grow, bumped where things
// happen and read at any time by any thread (relaxed: each counter on its own, no order).
#pragma once

#include <atomic>
#include <cstdint>

namespace quorvane {

struct TrafficCounters {
  // Lines sent to clients in whole, and the bytes sent.
  std::atomic<std::uint64_t> linesSent{0};
  std::atomic<std::uint64_t> bytesSent{0};
  // Clients dropped because too much of their output waited unread.
  std::atomic<std::uint64_t> unreadOutputDrops{0};
  // Connections taken and closed at once because no descriptor was left.
  std::atomic<std::uint64_t> descriptorRefusals{0};
};

// One more, without ordering.
inline void bump(std::atomic<std::uint64_t>& counter, std::uint64_t by = 1) {
  counter.fetch_add(by, std::memory_order_relaxed);
}

}  // namespace quorvane
