// A token bucket: `rate` tokens a second, holding at most `burst`; it starts full. The rate and
// burst are passed to every call (they are settings shared by many buckets), so a bucket is two
// numbers. A rate of 0 means no limit. Not thread-safe: used under the server lock.
#pragma once

#include <chrono>

namespace quorvane {

class TokenBucket {
 public:
  using Clock = std::chrono::steady_clock;

  // How long until a token is there: zero when one is.
  Clock::duration wait(unsigned rate, unsigned burst, Clock::time_point now);
  // Takes one token (call after wait gave zero).
  void take(unsigned rate, unsigned burst, Clock::time_point now);
  // Full again: nothing taken for long enough that forgetting the bucket changes nothing.
  bool full(unsigned rate, unsigned burst, Clock::time_point now) const;

 private:
  void refill(unsigned rate, unsigned burst, Clock::time_point now);

  double tokens_ = -1;  // below zero: never used, so full
  Clock::time_point last_{};
};

}  // namespace quorvane
