// The event loops of a server, and the one lock that every thread of the server shares.
//
// The threading model, in short (README, "Architecture"):
// - Each Reactor is one event loop on a thread of its own, serving at most Reactor::kLoadLimit
//   sockets (63 on Windows, 255 elsewhere). Only that thread calls its handlers and reads and
//   writes their sockets.
// - One lock, the loop lock, guards everything that more than one thread touches: the server's
//   users, channels and limits, the loops' tables, and the connections' owners and output queues.
//   A loop thread holds it only in short sections (to hand received lines to the server, to look
//   up what is ready, to take output to send), never while it waits or does socket I/O. Every
//   other thread that touches that state (the timer, the thread that stops the server, tests)
//   takes it the same way, through a Section.
// - Objects are destroyed where nothing can still be using them: what a section ends (a user that
//   quit) is released when the section ends, and a connection is destroyed by its own loop.
// The voice thread keeps to its own short lock and never takes this one; a loop's pass task (the
// server's help with voice) runs inside a section and only tries that other lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "transport/Reactor.h"
#include "transport/TrafficCounters.h"

namespace quorvane {

class ReactorPool {
 public:
  // Holds the loop lock for its lifetime. When it ends it first runs what was put off until then
  // (releaseAfterSection), then wakes the loops that have output to send. Sections do not nest.
  class Section {
   public:
    explicit Section(ReactorPool& pool);
    ~Section();
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;

   private:
    ReactorPool& pool_;
  };

  ReactorPool();
  ReactorPool(const ReactorPool&) = delete;
  ReactorPool& operator=(const ReactorPool&) = delete;
  // Stops and joins every loop; what they still hold is destroyed.
  ~ReactorPool();

  // Everything below but stopAll: loop lock held.

  // Places the handler on the first loop with room, starting another loop (and its thread) when
  // every loop is full. It is served until it is removed or retired. Nothing happens when a new
  // loop was needed and cannot wait (see hasRoom).
  void adopt(EventHandler* handler);
  // True when a loop can take another handler, starting one if needed; false when a new loop
  // cannot wait: on Linux its epoll instance needs a descriptor, which may be the last one.
  bool hasRoom() { return loopWithRoom() != nullptr; }
  // Removes the handler from its loop; waits, when called on another thread, until the loop is
  // not calling it. The handler stays the caller's.
  void remove(EventHandler* handler);
  // Hands a handler that is winding down to its loop, which destroys it once it calls
  // Reactor::finishRetired; a handler that no loop serves is destroyed at once.
  void retire(std::unique_ptr<EventHandler> handler);
  // Runs `release` when the current section ends: a handler may end an object (its own user,
  // say) that a caller further up still uses.
  void releaseAfterSection(std::function<void()> release);
  // A loop that must be woken when the current section ends (it has output to send).
  void wakeAfterSection(Reactor* reactor);
  // Lock held: forgets the tasks that `owner` posted and that have not run.
  void cancelPosts(const void* owner);
  // Lock held: work that every loop does once a pass, lock held, after serving what its wait
  // found; an empty one ends it. The server hands voice that is waiting to whichever loop runs.
  void setPassTask(std::function<void()> task);
  void runPassTask();

  // Any thread, without the loop lock (it never waits for it): `task` runs soon on a loop thread,
  // with the lock held. `owner` names the poster, for cancelPosts.
  void post(const void* owner, std::function<void()> task);

  // Stops every loop, waits for their threads and forgets them; later adoptions start anew.
  // Called without the lock, never from a loop thread.
  void stopAll();

  // Test hooks; the program never calls them. The loops running, and the handlers retired and
  // not yet destroyed.
  std::size_t reactorCount() const { return reactors_.size(); }
  // What the loops and their connections count; any thread, no lock.
  TrafficCounters& counters() { return counters_; }
  const TrafficCounters& counters() const { return counters_; }
  std::size_t retiredCount() const;

  // The lock itself, for sections and for waiting on it (Reactor::remove).
  void lock();
  void unlock();
  // True when the calling thread holds the lock; assertLocked checks it in debug builds.
  bool locked() const { return holder_.load() == std::this_thread::get_id(); }
  void assertLocked() const;

 private:
  friend class Reactor;
  // The end of a section: the releases put off until then, then the wake-ups.
  void endSection();
  // The first loop, lock held: runs what was posted.
  void runPosted();
  // The first loop with room, started when every loop is full; none when a new one cannot wait.
  Reactor* loopWithRoom();

  std::mutex mutex_;
  std::atomic<std::thread::id> holder_{};
  std::vector<std::unique_ptr<Reactor>> reactors_;
  std::vector<std::thread> threads_;
  std::vector<std::function<void()>> releases_;
  std::vector<Reactor*> toWake_;
  // Posted tasks, under their own lock, which is never held with any other.
  std::mutex postLock_;
  std::vector<std::pair<const void*, std::function<void()>>> posted_;
  std::atomic<Reactor*> first_{nullptr};
  std::function<void()> passTask_;
  TrafficCounters counters_;
};

}  // namespace quorvane
