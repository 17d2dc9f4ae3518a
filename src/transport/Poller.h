// The platform's readiness wait for one Reactor: poll on POSIX (no limit on descriptor numbers),
// select on Windows. Also carries the Reactor's wake-up channel, so another thread can end a
// pending wait: on POSIX a signal sent to the waiting thread, which ppoll lets in only while it
// waits (so it costs no descriptor: every descriptor is left for clients); on Windows a loopback
// datagram socket. Owned by its Reactor.
#pragma once

#include <vector>

#include "transport/SocketApi.h"

namespace quorvane {

class Poller {
 public:
  // The handles to watch, each list in ascending order and within the 64-entry limit.
  struct Lists {
    std::vector<SocketHandle> read;
    std::vector<SocketHandle> write;
    std::vector<SocketHandle> exception;
  };
  // The handles found ready, in the order of their lists; `woken` when wake() ended the wait.
  struct Ready {
    std::vector<SocketHandle> read;
    std::vector<SocketHandle> write;
    std::vector<SocketHandle> exception;
    bool woken = false;
  };

  Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;
  ~Poller();

  // False when the wake-up channel could not be created; the Reactor then cannot run.
  bool valid() const;
  // Makes the calling thread the one that waits; call it before the first wait.
  void attachToThisThread();
  // Waits until a listed handle is ready, wake() is called or `timeoutMs` milliseconds have
  // passed (a negative time-out waits for ever), then fills `ready`. False when the wait itself
  // failed.
  bool wait(const Lists& lists, Ready& ready, int timeoutMs = -1);
  // Ends the pending wait, or the next one. Any thread.
  void wake();

 private:
  struct State;
  State* state_;
};

}  // namespace quorvane
