// An epoll loop that serves many ProtocolClients on one thread, with timers for pacing. Owns
// neither the clients nor their sockets. One thread: the loop's own.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quorvane {

class ProtocolClient;

class ClientLoop {
 public:
  using Clock = std::chrono::steady_clock;
  using Callback = std::function<void()>;
  // Identifies one scheduled callback.
  using TimerId = std::pair<Clock::time_point, std::uint64_t>;

  // How often attached clients get their tick (the repeated hello, paced reading).
  static constexpr std::chrono::milliseconds kTickInterval{50};

  ClientLoop();
  ~ClientLoop();
  ClientLoop(const ClientLoop&) = delete;
  ClientLoop& operator=(const ClientLoop&) = delete;

  // False when the kernel refused the epoll descriptor.
  bool valid() const { return epoll_ >= 0; }

  // Serves the client's current sockets (edge-triggered). Call after every open of the client;
  // an attached client that closes drops out of epoll by itself and stays known for its ticks.
  bool attach(ProtocolClient& client);
  // Forgets the client; events already fetched for it are dropped. Detach before destroying.
  void detach(ProtocolClient& client);

  TimerId schedule(Clock::time_point when, Callback callback);
  TimerId scheduleAfter(Clock::duration delay, Callback callback) {
    return schedule(Clock::now() + delay, std::move(callback));
  }
  // Harmless for a timer that has run or was cancelled.
  void cancel(const TimerId& id) { timers_.erase(id); }

  // Serves sockets and timers until `done` holds or the deadline passes;
  // returns `done`'s last value.
  bool runUntil(const std::function<bool()>& done, Clock::time_point deadline);
  void runUntil(Clock::time_point deadline) {
    runUntil([] { return false; }, deadline);
  }

 private:
  struct Slot {
    ProtocolClient* client = nullptr;
    std::uint32_t generation = 0;
  };

  void waitAndDispatch(Clock::time_point deadline);
  void dispatch(std::uint64_t data, std::uint32_t events);
  void runDueTimers();
  void tickAll(Clock::time_point now);

  int epoll_ = -1;
  std::vector<Slot> slots_;
  std::vector<std::uint32_t> freeSlots_;
  std::unordered_map<ProtocolClient*, std::uint32_t> slotOf_;
  std::map<TimerId, Callback> timers_;
  std::uint64_t timerSequence_ = 0;
  Clock::time_point nextTick_{};
};

}  // namespace quorvane
