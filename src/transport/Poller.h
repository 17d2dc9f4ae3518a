// The platform's readiness wait for one Reactor: epoll on Linux, select on Windows. On Linux only
// the changes of the lists reach the kernel, so a wait costs what is ready, not what is watched.
// Also carries the Reactor's wake-up channel, so another thread can end a pending wait: on Linux
// a signal sent to the waiting thread, which epoll_pwait lets in only while it waits (so it costs
// no descriptor beyond the epoll instance); on Windows a loopback datagram socket. Owned by its
// Reactor.
//
// watch and forget change what is watched: on Linux they name descriptors to the kernel, so they
// run while every handle they name is the open socket of a handler the Reactor serves (under the
// loop lock, before a socket closes), never at the same time as each other.
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
  // The next waits watch what `lists` names.
  void watch(const Lists& lists);
  // The handle is watched no more, whatever the lists said; its socket is still open.
  void forget(SocketHandle handle);
  // Waits until a handle of `lists` (those last given to watch) is ready, wake() is called or
  // `timeoutMs` milliseconds have passed (a negative time-out waits for ever), then fills
  // `ready`. False when the wait itself failed.
  bool wait(const Lists& lists, Ready& ready, int timeoutMs = -1);
  // Ends the pending wait, or the next one. Any thread.
  void wake();

 private:
  struct State;
  State* state_;
};

}  // namespace quorvane
