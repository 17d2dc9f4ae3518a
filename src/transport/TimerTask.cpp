#include "transport/TimerTask.h"

#include <chrono>

#include "transport/TimerListener.h"
#include "transport/TimerService.h"

namespace quorvane {

TimerTask::TimerTask(TimerService& service, TimerListener* listener, int id, int intervalMs,
                     bool repeat)
    : service_(service), listener_(listener), id_(id), intervalMs_(intervalMs), repeat_(repeat) {}

void TimerTask::run() {
  // The wait starts after the previous call returns, so the period is the interval plus the
  // time that onTimer takes.
  do {
    waitInterval();
    if (active_ && listener_ != nullptr) listener_->onTimer(id_);
  } while (repeat_ && active_);
  service_.remove(id_, this);
}

void TimerTask::cancel() {
  active_ = false;
  {
    std::lock_guard<std::mutex> guard(signalLock_);
    signalled_ = true;
  }
  signalCondition_.notify_one();
}

void TimerTask::waitInterval() {
  std::unique_lock<std::mutex> guard(signalLock_);
  signalCondition_.wait_for(guard, std::chrono::milliseconds(intervalMs_),
                            [this] { return signalled_; });
  signalled_ = false;
}

}  // namespace quorvane
