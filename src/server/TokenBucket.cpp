#include "server/TokenBucket.h"

#include <algorithm>

namespace quorvane {

namespace {

double capacity(unsigned burst) { return std::max(1u, burst); }

}  // namespace

void TokenBucket::refill(unsigned rate, unsigned burst, Clock::time_point now) {
  if (tokens_ < 0) {
    tokens_ = capacity(burst);
  } else if (now > last_) {
    const double seconds = std::chrono::duration<double>(now - last_).count();
    tokens_ = std::min(capacity(burst), tokens_ + seconds * rate);
  }
  last_ = now;
}

TokenBucket::Clock::duration TokenBucket::wait(unsigned rate, unsigned burst,
                                               Clock::time_point now) {
  if (rate == 0) return Clock::duration::zero();
  refill(rate, burst, now);
  if (tokens_ >= 1) return Clock::duration::zero();
  const auto due = std::chrono::duration<double>((1 - tokens_) / rate);
  // Rounded up: woken a little late finds the token there, woken early would wait again.
  return std::chrono::ceil<Clock::duration>(due) + std::chrono::microseconds(1);
}

void TokenBucket::take(unsigned rate, unsigned burst, Clock::time_point now) {
  if (rate == 0) return;
  refill(rate, burst, now);
  tokens_ -= 1;
}

bool TokenBucket::full(unsigned rate, unsigned burst, Clock::time_point now) const {
  if (rate == 0 || tokens_ < 0) return true;
  const double seconds = std::chrono::duration<double>(now - last_).count();
  return tokens_ + seconds * rate >= capacity(burst);
}

}  // namespace quorvane
