// Numbered timers, each on a thread of its own. Owned by the server. Every thread it starts is
// joined before it is destroyed; nothing is detached.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace quorvane {

class TimerListener;
class TimerTask;

class TimerService {
 public:
  TimerService() = default;
  TimerService(const TimerService&) = delete;
  TimerService& operator=(const TimerService&) = delete;
  // Cancels every timer and joins every thread. Destroy it with no lock held that a listener's
  // onTimer takes.
  virtual ~TimerService();

  // Starts timer `id`: after `intervalMs` milliseconds the listener's onTimer(id) is called, again
  // and again when `repeat`. A timer already running under `id` is cancelled and replaced.
  virtual void startTimer(TimerListener* listener, int id, int intervalMs, bool repeat);
  // Stops timer `id`: a pending wait ends at once and no further call is made; a call in progress
  // finishes. Does not wait for the thread, so it may be called with locks held and from the
  // timer's own callback. Unknown ids and repeated cancels are harmless.
  virtual void cancelTimer(int id);
  // Test hooks; the program never calls them. Joins the threads of timers that have ended and
  // returns how many (those make no further calls, so it may be called with locks held and from
  // a callback); whether a timer is stored under `id` (running, or cancelled and not yet ended).
  std::size_t joinFinished();
  bool hasTimer(int id);

 private:
  friend class TimerTask;
  // Called by a task's thread as it ends: removes the entry under its id only if it is its own.
  void remove(int id, const TimerTask* task);

  struct Thread {
    std::shared_ptr<TimerTask> task;
    std::thread thread;
  };

  std::recursive_mutex lock_;
  std::map<int, std::shared_ptr<TimerTask>> timers_;
  // Threads whose task has not ended yet, including cancelled and replaced ones.
  std::vector<Thread> threads_;
  // Threads whose task has ended, waiting to be joined.
  std::vector<std::thread> finished_;
};

}  // namespace quorvane
