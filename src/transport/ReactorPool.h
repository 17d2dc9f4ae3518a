// The process's event loops. Places each registration on the first Reactor with room and starts
// another Reactor, on a thread of its own, when all are full. Its recursive lock is held by every
// event-loop thread except while it waits, so all handler calls of the process run one at a time.
// Lock order (everywhere): pool lock, server lock, a connection's queue lock, pool lock again.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "transport/EventHandler.h"

namespace quorvane {

class Reactor;

class ReactorPool {
 public:
  // The process-wide pool, created on first use.
  static ReactorPool& instance();

  // Pools other than the instance are for tests of the loop itself.
  ReactorPool();
  ReactorPool(const ReactorPool&) = delete;
  ReactorPool& operator=(const ReactorPool&) = delete;
  // Stops and joins every loop.
  ~ReactorPool();

  // Does nothing when the handler is registered for every kind of `mask` already; otherwise adds
  // `mask` on the first Reactor whose load is below the limit, starting a new one when none is.
  void registerHandler(EventHandler* handler, int mask);
  // Removes the kinds of `mask` for the handler's handle from every Reactor.
  void unregisterHandler(EventHandler* handler, int mask);
  // True when the kinds registered for the handler, over all Reactors, include all of `mask`.
  bool isRegistered(const EventHandler* handler, int mask);
  // Stops every loop, waits for their threads and forgets them; later registrations start anew.
  // Never call it from an event-loop thread.
  void stopAll();

  std::size_t reactorCount();
  std::recursive_mutex& mutex() { return lock_; }

  // Keeps a handler that is winding down (a connection whose user is gone) until it calls
  // finishRetired (it arranges its own time limit with wakeAt); the pool then unregisters and
  // destroys it, never under its own call. stopAll destroys those left. Any thread.
  void retire(std::unique_ptr<EventHandler> handler);
  // A retired handler is done: it is destroyed once the handler call in progress has returned.
  void finishRetired(EventHandler* handler);
  std::size_t retiredCount();

  using Clock = std::chrono::steady_clock;
  // Calls the handler's handleTimeout on an event-loop thread, pool lock held, once `at` has
  // come. One wake-up per handler: an earlier time replaces a pending later one, a later one
  // leaves an earlier one pending (the handler arranges the next itself when it is called).
  // Any thread.
  void wakeAt(EventHandler* handler, Clock::time_point at);
  // Forgets the handler's pending wake-up; a handler calls it before it goes away.
  void cancelWake(EventHandler* handler);

  // Runs `release` once the handler call in progress on this thread has returned, or at once
  // when this thread is not inside a handler call. Lets a handler end an object (its own session,
  // or another) without destroying it under a caller that still uses it.
  static void releaseAfterHandler(std::function<void()> release);

  // Output queued during a handler call, to be sent when the call returns.
  class PendingOutput {
   public:
    // Sends what it can without blocking; registers for Write when the socket is full.
    virtual void sendPendingOutput() = 0;

   protected:
    ~PendingOutput() = default;
  };
  // Inside a handler call: remembers `output`, to be sent right after the call (so a reply goes
  // out without another wait for writability, and all the lines of one call leave together), and
  // returns true. Outside one: returns false, and the caller registers for Write itself.
  static bool sendAfterHandler(PendingOutput* output);
  // Drops `output` from the list of the calling thread (it is going away).
  static void forgetPendingOutput(PendingOutput* output);

 private:
  friend class Reactor;
  // Called by a Reactor around each handler call.
  static void enterHandler();
  static void leaveHandler();
  // For the first Reactor, which serves the wake-ups: milliseconds until the next one is due
  // (0 when one is due, -1 when none is pending), and the calls of those that are due.
  int msUntilWake();
  void runDueWakes();
  // Adds a Reactor on a thread of its own; returns it.
  Reactor* startReactor();


  // Keeps homes_ and firstWithRoom_ up to date; a Reactor calls it, pool lock held, whenever its
  // entries for `handle` changed. `present`: it still has some; `shrank`: some were removed.
  void entriesChanged(Reactor* reactor, SocketHandle handle, bool present, bool shrank);
  // Unregisters a retired handler and destroys it once no call of it can be running.
  void release(std::unique_ptr<EventHandler> handler);

  std::recursive_mutex lock_;
  std::vector<std::unique_ptr<Reactor>> reactors_;
  std::vector<std::thread> threads_;
  // The Reactors that have entries for each handle (nearly always one), so that finding and
  // removing a registration does not visit every Reactor.
  std::unordered_map<SocketHandle, std::vector<Reactor*>> homes_;
  // Every Reactor before this index is full; registrations look for room from here.
  std::size_t firstWithRoom_ = 0;
  std::unordered_map<EventHandler*, std::unique_ptr<EventHandler>> retired_;
  // Pending wake-ups by time, and each handler's entry.
  std::multimap<Clock::time_point, EventHandler*> wakes_;
  std::unordered_map<EventHandler*, std::multimap<Clock::time_point, EventHandler*>::iterator>
      wakeOf_;
};

}  // namespace quorvane
