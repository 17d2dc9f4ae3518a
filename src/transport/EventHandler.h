// What an event loop serves: a socket whose readiness it waits for, and the times it was asked
// to wake the object at. A handler belongs to one Reactor from ReactorPool::adopt until it is
// released: only that loop's thread calls it and does its socket I/O. Its interest is guarded by
// the loop lock.
#pragma once

#include "transport/SocketApi.h"

namespace quorvane {

class Reactor;

// What a handler waits for; it may wait for both.
struct EventMask {
  enum : int {
    Read = 1,   // readable, or a connection to accept: readInput
    Write = 2,  // writable: handleWrite
  };
};

class EventHandler {
 public:
  EventHandler() = default;
  EventHandler(const EventHandler&) = delete;
  EventHandler& operator=(const EventHandler&) = delete;
  virtual ~EventHandler() = default;

  virtual SocketHandle handle() const = 0;
  // On the loop's thread, without the loop lock: the socket is readable. Reads what is there;
  // true when there is something to hand on: deliverInput is then called with the lock held,
  // together with those of the other handlers of the pass. A handler may also take the lock
  // itself (ReactorPool::Section).
  virtual bool readInput() { return false; }
  virtual void deliverInput() {}
  // True while there is more to write than the socket took.
  virtual bool handleWrite() { return false; }
  // On the loop's thread, with the loop lock held: a time given to Reactor::wakeAt has come.
  virtual void handleTimeout() {}
  // On the loop's thread, with the loop lock held: takes the output queued for the handler
  // (Reactor::queueOutput) into the loop thread's hands.
  virtual void takeOutput() {}
  // On the loop's thread, without the lock: sends what was taken. True while more is left than
  // the socket took: the loop then waits for it to be writable and calls handleWrite.
  virtual bool sendTaken() { return false; }

  // The loop that serves the handler; none before it is adopted.
  Reactor* reactor() const { return reactor_; }

 private:
  friend class Reactor;
  Reactor* reactor_ = nullptr;
};

}  // namespace quorvane
