#include "transport/HttpWorkers.h"

namespace quorvane {

void HttpWorkers::enqueue(std::function<void()> task) {
  std::unique_lock<std::mutex> guard(lock_);
  threadFree_.wait(guard, [this] { return busy_ < limit_ || stopping_; });
  if (stopping_) {
    // Too late to start a thread: the task (which closes its connection) runs here.
    guard.unlock();
    task();
    return;
  }
  ++busy_;
  tasks_.push_back(std::move(task));
  if (idle_ < tasks_.size() && threads_.size() < limit_) {
    threads_.emplace_back([this] { serve(); });
  }
  taskReady_.notify_one();
}

void HttpWorkers::shutdown() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_ && threads_.empty()) return;
    stopping_ = true;
  }
  taskReady_.notify_all();
  threadFree_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  std::lock_guard<std::mutex> guard(lock_);
  threads_.clear();
}

void HttpWorkers::serve() {
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    ++idle_;
    taskReady_.wait(guard, [this] { return !tasks_.empty() || stopping_; });
    --idle_;
    if (tasks_.empty()) return;
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    guard.unlock();
    task();
    guard.lock();
    --busy_;
    threadFree_.notify_one();
  }
}

}  // namespace quorvane
