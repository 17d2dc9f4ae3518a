// Bounded waiting for conditions that another thread makes true.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

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

}  // namespace quorvane::test
