#include "transport/ReactorPool.h"

#include <algorithm>

#include "transport/Reactor.h"

namespace quorvane {

namespace {

// Per thread: how deep in handler calls it is, and what to send and release when the outermost
// returns.
struct HandlerWork {
  std::vector<std::function<void()>> pendingReleases;
  std::vector<ReactorPool::PendingOutput*> pendingOutputs;
};
// Plain values only: with MinGW a thread_local object's destructor runs after its emulated TLS
// block has been freed, and can deadlock with the process's exit. An event loop's thread frees
// its HandlerWork when the loop ends.
thread_local int handlerDepth = 0;
thread_local HandlerWork* handlerWork = nullptr;

HandlerWork& work() {
  if (handlerWork == nullptr) handlerWork = new HandlerWork;
  return *handlerWork;
}

}  // namespace

ReactorPool& ReactorPool::instance() {
  static ReactorPool pool;
  return pool;
}

ReactorPool::ReactorPool() = default;

ReactorPool::~ReactorPool() { stopAll(); }

void ReactorPool::registerHandler(EventHandler* handler, int mask) {
  std::lock_guard guard(lock_);
  if (handler == nullptr || handler->handle() == kNoSocket) return;
  if (isRegistered(handler, mask)) return;
  for (std::size_t i = firstWithRoom_; i < reactors_.size(); ++i) {
    if (reactors_[i]->load() < Reactor::kLoadLimit) {
      firstWithRoom_ = i;
      reactors_[i]->addHandler(handler, mask);
      return;
    }
  }
  firstWithRoom_ = reactors_.size();
  startReactor()->addHandler(handler, mask);
}

Reactor* ReactorPool::startReactor() {
  reactors_.push_back(std::make_unique<Reactor>(*this, reactors_.size()));
  Reactor* reactor = reactors_.back().get();
  threads_.emplace_back([reactor] {
    reactor->run();
    delete handlerWork;
    handlerWork = nullptr;
  });
  return reactor;
}

void ReactorPool::unregisterHandler(EventHandler* handler, int mask) {
  std::lock_guard guard(lock_);
  if (handler == nullptr) return;
  auto it = homes_.find(handler->handle());
  if (it == homes_.end()) return;
  // A removal may change the list being walked.
  const std::vector<Reactor*> homes = it->second;
  for (Reactor* reactor : homes) reactor->removeHandler(handler, mask);
}

bool ReactorPool::isRegistered(const EventHandler* handler, int mask) {
  std::lock_guard guard(lock_);
  if (handler == nullptr) return false;
  int registered = 0;
  if (auto it = homes_.find(handler->handle()); it != homes_.end()) {
    for (Reactor* reactor : it->second) registered |= reactor->registeredMask(handler);
  }
  return (registered & mask) == mask;
}

void ReactorPool::entriesChanged(Reactor* reactor, SocketHandle handle, bool present,
                                 bool shrank) {
  auto it = homes_.find(handle);
  if (present) {
    if (it == homes_.end()) it = homes_.emplace(handle, std::vector<Reactor*>()).first;
    if (std::find(it->second.begin(), it->second.end(), reactor) == it->second.end()) {
      it->second.push_back(reactor);
    }
  } else if (it != homes_.end()) {
    std::erase(it->second, reactor);
    if (it->second.empty()) homes_.erase(it);
  }
  if (shrank) firstWithRoom_ = std::min(firstWithRoom_, reactor->index());
}

void ReactorPool::stopAll() {
  std::vector<std::unique_ptr<Reactor>> stopped;
  std::vector<std::thread> threads;
  {
    std::lock_guard guard(lock_);
    for (auto& reactor : reactors_) reactor->stop();
    stopped.swap(reactors_);
    threads.swap(threads_);
    homes_.clear();
    firstWithRoom_ = 0;
  }
  for (auto& thread : threads) thread.join();
  std::lock_guard guard(lock_);
  retired_.clear();
  wakes_.clear();
  wakeOf_.clear();
}

void ReactorPool::retire(std::unique_ptr<EventHandler> handler) {
  std::lock_guard guard(lock_);
  EventHandler* key = handler.get();
  retired_[key] = std::move(handler);
}

void ReactorPool::finishRetired(EventHandler* handler) {
  std::lock_guard guard(lock_);
  auto it = retired_.find(handler);
  if (it == retired_.end()) return;
  std::unique_ptr<EventHandler> done = std::move(it->second);
  retired_.erase(it);
  release(std::move(done));
}

void ReactorPool::wakeAt(EventHandler* handler, Clock::time_point at) {
  std::lock_guard guard(lock_);
  if (auto it = wakeOf_.find(handler); it != wakeOf_.end()) {
    if (it->second->first <= at) return;
    wakes_.erase(it->second);
    wakeOf_.erase(it);
  }
  const bool first = wakes_.empty() || at < wakes_.begin()->first;
  wakeOf_[handler] = wakes_.emplace(at, handler);
  // The first Reactor serves the wake-ups; it must not sleep past a new first one.
  if (reactors_.empty()) {
    firstWithRoom_ = 0;
    startReactor();
  } else if (first) {
    reactors_.front()->wake();
  }
}

void ReactorPool::cancelWake(EventHandler* handler) {
  std::lock_guard guard(lock_);
  auto it = wakeOf_.find(handler);
  if (it == wakeOf_.end()) return;
  wakes_.erase(it->second);
  wakeOf_.erase(it);
}

int ReactorPool::msUntilWake() {
  if (wakes_.empty()) return -1;
  const auto left = wakes_.begin()->first - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  // Rounded up, so the wait never ends just before the time.
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

void ReactorPool::runDueWakes() {
  const auto now = Clock::now();
  while (!wakes_.empty() && wakes_.begin()->first <= now) {
    EventHandler* handler = wakes_.begin()->second;
    wakes_.erase(wakes_.begin());
    wakeOf_.erase(handler);
    handler->handleTimeout();
  }
}

std::size_t ReactorPool::retiredCount() {
  std::lock_guard guard(lock_);
  return retired_.size();
}

void ReactorPool::release(std::unique_ptr<EventHandler> handler) {
  unregisterHandler(handler.get(), EventMask::All);
  EventHandler* raw = handler.release();
  releaseAfterHandler([raw] { delete raw; });
}

std::size_t ReactorPool::reactorCount() {
  std::lock_guard guard(lock_);
  return reactors_.size();
}

void ReactorPool::releaseAfterHandler(std::function<void()> release) {
  if (handlerDepth == 0) {
    release();
    return;
  }
  work().pendingReleases.push_back(std::move(release));
}

bool ReactorPool::sendAfterHandler(PendingOutput* output) {
  if (handlerDepth == 0) return false;
  work().pendingOutputs.push_back(output);
  return true;
}

void ReactorPool::forgetPendingOutput(PendingOutput* output) {
  if (handlerWork != nullptr) std::erase(handlerWork->pendingOutputs, output);
}

void ReactorPool::enterHandler() { ++handlerDepth; }

void ReactorPool::leaveHandler() {
  if (handlerDepth > 1) {
    --handlerDepth;
    return;
  }
  // The sends still count as part of the call: what they end (a failed connection) is released
  // after them, and what they queue (the notices of that loss) is sent in the same round.
  if (handlerWork == nullptr) {
    --handlerDepth;
    return;
  }
  HandlerWork& pending = *handlerWork;
  while (!pending.pendingOutputs.empty()) {
    std::vector<PendingOutput*> batch;
    batch.swap(pending.pendingOutputs);
    for (PendingOutput* output : batch) output->sendPendingOutput();
  }
  --handlerDepth;
  // A release may itself end objects; run until nothing is left.
  while (!pending.pendingReleases.empty()) {
    std::vector<std::function<void()>> batch;
    batch.swap(pending.pendingReleases);
    for (auto& release : batch) release();
  }
}

}  // namespace quorvane
