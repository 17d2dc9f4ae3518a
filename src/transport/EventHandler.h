// The interface through which an event loop calls a socket object, and the event kinds it can be
// registered for.
#pragma once

#include "transport/SocketApi.h"

namespace quorvane {

// Bits of a registration; a handler may be registered for several kinds at once.
struct EventMask {
  enum : int {
    Read = 1,        // readable: handleInput
    Write = 2,       // writable: handleOutput
    Accept = 8,      // a connection is pending: handleAccept
    Connect = 16,    // a connect finished: handleConnect
    Exception = 32,  // urgent data or error: handleException
    All = Read | Write | Accept | Connect | Exception,
  };
};

// Implemented by the socket classes. A handler returns true to keep its registration for the kind
// that fired and false to drop it. Handlers are called with the pool lock held, one at a time.
class EventHandler {
 public:
  virtual ~EventHandler() = default;

  virtual SocketHandle handle() const = 0;
  virtual bool handleAccept() { return false; }
  virtual bool handleInput() { return false; }
  virtual bool handleOutput() { return false; }
  virtual void handleConnect() {}
  virtual void handleException() {}
  // The time given to ReactorPool::wakeAt has come.
  virtual void handleTimeout() {}
};

}  // namespace quorvane
