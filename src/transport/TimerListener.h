// Receives the calls of the timers it starts on a TimerService.
#pragma once

namespace quorvane {

class TimerListener {
 public:
  // Called on the timer's own thread; the listener guards its own state.
  virtual void onTimer(int id) = 0;
  virtual ~TimerListener() = default;
};

}  // namespace quorvane
