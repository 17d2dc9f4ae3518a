// The threads that serve HTTP connections, at most `limit` at once. The HTTP library's accepting
// thread hands each accepted connection over and waits while all are busy, so that further
// connections wait in the system's listen queue and hold no descriptor of ours. Threads start
// as they are needed and stay until shutdown. Owned by the HTTP library's listening call.
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace quorvane {

class HttpWorkers : public httplib::TaskQueue {
 public:
  explicit HttpWorkers(std::size_t limit) : limit_(limit) {}
  ~HttpWorkers() override { shutdown(); }

  // Waits until a thread is free, then hands it the task.
  void enqueue(std::function<void()> task) override;
  // Lets the tasks handed over finish, then ends and joins the threads.
  void shutdown() override;

 private:
  void serve();

  const std::size_t limit_;
  std::mutex lock_;
  std::condition_variable taskReady_;
  std::condition_variable threadFree_;
  std::deque<std::function<void()>> tasks_;
  std::size_t busy_ = 0;  // tasks handed over and not finished, waiting ones included
  std::size_t idle_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace quorvane
