// One event loop on a thread of its own: it waits for readiness of the handlers it serves (at most
// kLoadLimit), calls them, wakes them at the times they asked for, sends the output queued for
// them, and destroys those that were retired once they are done.
//
// Threads and the lock: the loop's thread alone calls its handlers and does their socket I/O, and
// never holds the loop lock while it waits or does I/O. Its tables (handlers, interests, wake-up
// times, output to send, retired handlers) are guarded by the loop lock, so any thread that holds
// it may change them; a change ends the loop's wait. Owned by its ReactorPool.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <thread>
#include <unordered_map>
#include <vector>

#include "transport/EventHandler.h"
#include "transport/Poller.h"

namespace quorvane {

class ReactorPool;

class Reactor {
 public:
  using Clock = std::chrono::steady_clock;

#ifdef _WIN32
  // Sockets per wait list; keeps every list within one 64-socket select set.
  static constexpr int kListLimit = 64;
#else
  // epoll takes lists of any length, and a wait costs what is ready, not what is watched. Fewer
  // loops contend less for the lock and the processors and hold fewer descriptors (one each).
  static constexpr int kListLimit = 256;
#endif
  // A loop takes new handlers while it serves fewer than this.
  static constexpr std::size_t kLoadLimit = kListLimit - 1;

  Reactor(ReactorPool& pool, std::size_t index);
  Reactor(const Reactor&) = delete;
  Reactor& operator=(const Reactor&) = delete;
  ~Reactor();

  // Everything below but run: loop lock held.
  void add(EventHandler* handler);
  // Forgets the handler: no more calls, wake-ups or output. It stays the caller's. On another
  // thread than the loop's, waits until the loop is not calling handlers.
  void remove(EventHandler* handler);
  std::size_t load() const { return slots_.size(); }
  // False when its wait could not be set up; it then cannot run.
  bool canWait() const { return poller_.valid(); }
  // Waits for the handler's socket to be readable, or stops waiting for it.
  void setReadInterest(EventHandler* handler, bool on);
  // Calls the handler's handleTimeout once `at` has come. One time per handler: an earlier time
  // replaces a later one, a later one leaves the earlier pending.
  void wakeAt(EventHandler* handler, Clock::time_point at);
  void cancelWake(EventHandler* handler);
  // Has the handler's output taken and sent by this loop's thread before its next wait.
  void queueOutput(EventHandler* handler);
  // Keeps a handler that is winding down until finishRetired; then destroys it where no call of
  // it can be running.
  void retire(std::unique_ptr<EventHandler> handler);
  void finishRetired(EventHandler* handler);
  std::size_t retiredCount() const { return retired_.size(); }
  // Ends the current wait, so that the loop looks at its tables again.
  void wake();
  // The same without the loop lock, from any thread: the loop may then wake for nothing.
  void wakeUnlocked() { poller_.wake(); }
  // Ends the loop: it sends the output queued once more, then returns.
  void stop();

  // The loop, on the Reactor's own thread.
  void run();
  std::size_t index() const { return index_; }
  bool onLoopThread() const { return std::this_thread::get_id() == thread_; }

 private:
  // A handle found ready, with its handler and what it is ready for.
  struct Ready {
    EventHandler* handler;
    SocketHandle handle;
    int mask;
  };
  // After the calls, lock held: the input that was read is handed on.
  void deliver();
  // Before a wait, lock held: the wake-ups that are due, the output to take, the handlers that are
  // done, and the wait lists. Returns the wait's time-out in milliseconds (-1: none).
  int prepare(std::vector<EventHandler*>& outputs);
  void buildLists();
  void runDueWakes();
  int msUntilWake() const;
  // After a wait, lock held: looks the ready handles up.
  void collectReady();
  // Without the lock: the calls.
  void dispatch();
  // Lock held: which handlers wait for writability, from what the calls returned.
  void noteWriting();
  bool serves(EventHandler* handler, SocketHandle handle);

  ReactorPool& pool_;
  const std::size_t index_;
  Poller poller_;
  bool inWait_ = false;
  bool woken_ = false;
  bool running_ = true;
  bool dispatching_ = false;
  std::condition_variable_any dispatched_;
  std::thread::id thread_;
  // The handlers served, sorted by handle (a few dozen: a sorted array is smallest and fast).
  struct Slot {
    SocketHandle handle;
    EventHandler* handler;
    int interest;  // EventMask bits
  };
  std::vector<Slot>::iterator find(SocketHandle handle);
  std::vector<Slot> slots_;
  std::multimap<Clock::time_point, EventHandler*> wakes_;
  std::unordered_map<EventHandler*, std::multimap<Clock::time_point, EventHandler*>::iterator>
      wakeOf_;
  std::vector<EventHandler*> outputs_;
  std::unordered_map<EventHandler*, std::unique_ptr<EventHandler>> retired_;
  std::vector<std::unique_ptr<EventHandler>> finished_;
  // The loop thread's own.
  Poller::Lists lists_;
  Poller::Ready poll_;
  std::vector<Ready> ready_;
  std::vector<EventHandler*> delivering_;  // read input to hand on
  std::vector<std::pair<Ready, bool>> writing_;  // handlers that were sending, and whether they
                                                 // still have more than the socket took
};

}  // namespace quorvane
