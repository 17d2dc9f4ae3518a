// One event loop: waits for readiness of the sockets registered on it and calls their handlers,
// on a thread of its own. Owned by its ReactorPool, whose recursive lock guards its tables.
#pragma once

#include <map>

#include "transport/EventHandler.h"
#include "transport/Poller.h"

namespace quorvane {

class ReactorPool;

class Reactor {
 public:
  // Sockets per wait list; keeps every list within one 64-socket select set on Windows.
  static constexpr int kListLimit = 64;
  // A reactor takes new registrations while its load is below this.
  static constexpr int kLoadLimit = 63;

  // `index` is its place in the pool's list of Reactors.
  Reactor(ReactorPool& pool, std::size_t index);
  Reactor(const Reactor&) = delete;
  Reactor& operator=(const Reactor&) = delete;
  virtual ~Reactor();

  // Adds an entry per kind of `mask` unless the kind already has one for the handle; wakes the
  // loop when it is waiting. A handler without a handle is ignored.
  void addHandler(EventHandler* handler, int mask);
  // Removes the handle's entry of every kind of `mask`; wakes the loop when it is waiting.
  void removeHandler(EventHandler* handler, int mask);
  // The kinds for which some entry exists under the handler's handle.
  int registeredMask(const EventHandler* handler) const;
  // One more than the size of the largest table.
  int load() const;
  // Empties the tables and ends the loop after its current wait.
  void stop();
  // Ends the current wait (once per wait), so that the loop looks at its work again.
  void wake();
  // The loop, on the Reactor's own thread; returns when stopped or when waiting fails.
  virtual void run();
  bool running() const;
  std::size_t index() const { return index_; }

 private:
  using Table = std::map<SocketHandle, EventHandler*>;

  Table& table(int kind);

  // The handles of one pass: Accept then Read, Connect then Write, Exception; each ascending,
  // without duplicates, at most kListLimit long.
  void buildLists(Poller::Lists& lists) const;
  // The kinds for which some entry exists under `handle`.
  int maskOf(SocketHandle handle) const;
  // Tells the pool that the entries for `handle` changed (`shrank`: some were removed).
  void entriesChanged(SocketHandle handle, bool shrank);
  // Ends a pending wait, once per wait (the wake-up rule). Call with the pool lock held.
  void wakeIfWaiting();
  // Calls the handlers of one pass, each looked up at the moment of its call. Pool lock held.
  void dispatch(const Poller::Ready& ready);
  void serveException(SocketHandle handle);
  void serveRead(SocketHandle handle);
  void serveWrite(SocketHandle handle);

  ReactorPool& pool_;
  const std::size_t index_;
  Poller poller_;
  bool inWait_ = false;
  bool woken_ = false;
  bool running_ = true;
  Table read_;
  Table write_;
  Table accept_;
  Table exception_;
  Table connect_;
  Poller::Lists lists_;
  Poller::Ready ready_;
  std::vector<SocketHandle> failed_;
  std::vector<SocketHandle> readable_;
  std::vector<SocketHandle> writable_;
};

}  // namespace quorvane
