// One running timer: waits for its interval on a thread of its own, then calls its listener,
// once or repeatedly, until cancelled. Shared between its TimerService and its thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace quorvane {

class TimerListener;
class TimerService;

class TimerTask {
 public:
  TimerTask(TimerService& service, TimerListener* listener, int id, int intervalMs, bool repeat);
  TimerTask(const TimerTask&) = delete;
  TimerTask& operator=(const TimerTask&) = delete;
  virtual ~TimerTask() = default;

  // The body of the timer's thread.
  virtual void run();
  // Stops further calls and ends a pending wait at once; a call in progress finishes. Repeating
  // it is harmless.
  void cancel();
  int id() const { return id_; }

 private:
  // Waits up to the interval or until cancelled.
  void waitInterval();

  TimerService& service_;
  TimerListener* listener_;
  int id_;
  int intervalMs_;
  bool repeat_;
  std::atomic<bool> active_{true};
  // A binary signal: a post while one is pending changes nothing.
  std::mutex signalLock_;
  std::condition_variable signalCondition_;
  bool signalled_ = false;
};

}  // namespace quorvane
