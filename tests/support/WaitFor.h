// Bounded waiting for conditions that another thread makes true.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <poll.h>
#endif

#include "transport/SocketApi.h"

namespace quorvane::test {

constexpr std::chrono::milliseconds kPatience{10000};

// Polls `condition` until it holds or `timeout` has passed; returns its last value.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = kPatience) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// True when the socket has something to read within the time-out.
inline bool waitReadable(SocketHandle socket, std::chrono::milliseconds timeout = kPatience) {
#ifdef _WIN32
  fd_set set;
  FD_ZERO(&set);
  FD_SET(sys::native(socket), &set);
  timeval limit{static_cast<long>(timeout.count() / 1000),
                static_cast<long>(timeout.count() % 1000) * 1000};
  return ::select(0, &set, nullptr, nullptr, &limit) > 0;
#else
  pollfd entry{sys::native(socket), POLLIN, 0};
  return ::poll(&entry, 1, static_cast<int>(timeout.count())) > 0;
#endif
}

}  // namespace quorvane::test
