// Bounded waiting for conditions that another thread makes true.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

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
  return sys::waitReady(socket, false, static_cast<int>(timeout.count()));
}

}  // namespace quorvane::test
