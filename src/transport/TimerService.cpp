#include "transport/TimerService.h"

#include <algorithm>
#include <utility>

#include "transport/TimerTask.h"

namespace quorvane {

TimerService::~TimerService() {
  // A callback may start a timer while we wait, so repeat until no thread is left.
  for (;;) {
    std::vector<std::thread> threads;
    {
      std::lock_guard<std::recursive_mutex> guard(lock_);
      for (Thread& entry : threads_) {
        entry.task->cancel();
        threads.push_back(std::move(entry.thread));
      }
      threads_.clear();
      for (std::thread& thread : finished_) threads.push_back(std::move(thread));
      finished_.clear();
    }
    if (threads.empty()) break;
    // Joined outside lock_: a running thread still takes it to remove its entry.
    for (std::thread& thread : threads) thread.join();
  }
}

void TimerService::startTimer(TimerListener* listener, int id, int intervalMs, bool repeat) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto existing = timers_.find(id);
  if (existing != timers_.end()) existing->second->cancel();
  auto task = std::make_shared<TimerTask>(*this, listener, id, intervalMs, repeat);
  timers_[id] = task;
  threads_.push_back(Thread{task, std::thread()});
  // The thread holds its own reference: the task must outlive run() even after remove() has
  // dropped the service's references.
  threads_.back().thread = std::thread([task] { task->run(); });
}

void TimerService::cancelTimer(int id) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto entry = timers_.find(id);
  if (entry != timers_.end()) entry->second->cancel();
}

std::size_t TimerService::joinFinished() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    threads.swap(finished_);
  }
  for (std::thread& thread : threads) thread.join();
  return threads.size();
}

bool TimerService::hasTimer(int id) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return timers_.count(id) != 0;
}

void TimerService::remove(int id, const TimerTask* task) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto entry = timers_.find(id);
  // A replacement stored under the same id is not ours to remove.
  if (entry != timers_.end() && entry->second.get() == task) timers_.erase(entry);
  auto thread = std::find_if(threads_.begin(), threads_.end(),
                             [task](const Thread& t) { return t.task.get() == task; });
  // Absent when the destructor has already taken the thread to join it.
  if (thread == threads_.end()) return;
  finished_.push_back(std::move(thread->thread));
  threads_.erase(thread);
}

}  // namespace quorvane
