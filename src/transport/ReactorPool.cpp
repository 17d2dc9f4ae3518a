#include "transport/ReactorPool.h"

#include <algorithm>
#include <cassert>

namespace quorvane {

ReactorPool::Section::Section(ReactorPool& pool) : pool_(pool) { pool_.lock(); }

ReactorPool::Section::~Section() {
  pool_.endSection();
  pool_.unlock();
}

ReactorPool::ReactorPool() = default;

ReactorPool::~ReactorPool() { stopAll(); }

void ReactorPool::lock() {
  assert(!locked() && "sections do not nest");
  mutex_.lock();
  holder_ = std::this_thread::get_id();
}

void ReactorPool::unlock() {
  holder_ = std::thread::id();
  mutex_.unlock();
}

void ReactorPool::assertLocked() const { assert(locked() && "the loop lock must be held"); }

void ReactorPool::endSection() {
  // A release may itself put off more; run until nothing is left.
  while (!releases_.empty()) {
    std::vector<std::function<void()>> batch;
    batch.swap(releases_);
    for (auto& release : batch) release();
  }
  for (Reactor* reactor : toWake_) reactor->wake();
  toWake_.clear();
}

void ReactorPool::adopt(EventHandler* handler) {
  assertLocked();
  if (handler == nullptr || handler->handle() == kNoSocket) return;
  if (Reactor* reactor = loopWithRoom()) reactor->add(handler);
}

Reactor* ReactorPool::loopWithRoom() {
  assertLocked();
  for (auto& reactor : reactors_) {
    if (reactor->load() < Reactor::kLoadLimit) return reactor.get();
  }
  auto started = std::make_unique<Reactor>(*this, reactors_.size());
  if (!started->canWait()) return nullptr;
  Reactor* reactor = started.get();
  reactors_.push_back(std::move(started));
  if (reactors_.size() == 1) first_ = reactor;
  threads_.emplace_back([reactor] { reactor->run(); });
  return reactor;
}

void ReactorPool::post(const void* owner, std::function<void()> task) {
  {
    std::lock_guard<std::mutex> guard(postLock_);
    posted_.emplace_back(owner, std::move(task));
  }
  if (Reactor* first = first_.load()) first->wakeUnlocked();
}

void ReactorPool::setPassTask(std::function<void()> task) {
  assertLocked();
  passTask_ = std::move(task);
}

void ReactorPool::runPassTask() {
  assertLocked();
  if (passTask_) passTask_();
}

void ReactorPool::cancelPosts(const void* owner) {
  assertLocked();
  std::lock_guard<std::mutex> guard(postLock_);
  std::erase_if(posted_, [owner](const auto& entry) { return entry.first == owner; });
}

void ReactorPool::runPosted() {
  std::vector<std::pair<const void*, std::function<void()>>> batch;
  {
    std::lock_guard<std::mutex> guard(postLock_);
    batch.swap(posted_);
  }
  for (auto& entry : batch) entry.second();
}

void ReactorPool::remove(EventHandler* handler) {
  assertLocked();
  if (handler != nullptr && handler->reactor() != nullptr) handler->reactor()->remove(handler);
}

void ReactorPool::retire(std::unique_ptr<EventHandler> handler) {
  assertLocked();
  if (Reactor* reactor = handler->reactor()) reactor->retire(std::move(handler));
}

void ReactorPool::releaseAfterSection(std::function<void()> release) {
  assertLocked();
  releases_.push_back(std::move(release));
}

void ReactorPool::wakeAfterSection(Reactor* reactor) {
  assertLocked();
  if (std::find(toWake_.begin(), toWake_.end(), reactor) == toWake_.end()) {
    toWake_.push_back(reactor);
  }
}

void ReactorPool::stopAll() {
  // Each call destroys only the loops whose threads it waited for: a stop on another thread (one
  // that comes while the server starts) must not destroy a loop that is still running.
  std::vector<std::unique_ptr<Reactor>> stopped;
  std::vector<std::thread> threads;
  {
    Section section(*this);
    for (auto& reactor : reactors_) reactor->stop();
    threads.swap(threads_);
    stopped.swap(reactors_);
    first_ = nullptr;
  }
  for (auto& thread : threads) thread.join();
  Section section(*this);
  // What the loops still hold (retired connections) is destroyed with them, lock held.
  stopped.clear();
}

std::size_t ReactorPool::retiredCount() const {
  std::size_t count = 0;
  for (const auto& reactor : reactors_) count += reactor->retiredCount();
  return count;
}

}  // namespace quorvane
