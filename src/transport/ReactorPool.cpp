#include "transport/ReactorPool.h"

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
  for (auto& reactor : reactors_) {
    if (reactor->load() < Reactor::kLoadLimit) {
      reactor->addHandler(handler, mask);
      return;
    }
  }
  reactors_.push_back(std::make_unique<Reactor>(*this));
  Reactor* reactor = reactors_.back().get();
  reactor->addHandler(handler, mask);
  threads_.emplace_back([reactor] {
    reactor->run();
    delete handlerWork;
    handlerWork = nullptr;
  });
}

void ReactorPool::unregisterHandler(EventHandler* handler, int mask) {
  std::lock_guard guard(lock_);
  for (auto& reactor : reactors_) reactor->removeHandler(handler, mask);
}

bool ReactorPool::isRegistered(const EventHandler* handler, int mask) {
  std::lock_guard guard(lock_);
  int registered = 0;
  for (auto& reactor : reactors_) registered |= reactor->registeredMask(handler);
  return (registered & mask) == mask;
}

void ReactorPool::stopAll() {
  std::vector<std::unique_ptr<Reactor>> stopped;
  std::vector<std::thread> threads;
  {
    std::lock_guard guard(lock_);
    for (auto& reactor : reactors_) reactor->stop();
    stopped.swap(reactors_);
    threads.swap(threads_);
  }
  for (auto& thread : threads) thread.join();
  std::lock_guard guard(lock_);
  retired_.clear();
  deadlines_.clear();
}

void ReactorPool::retire(std::unique_ptr<EventHandler> handler,
                         std::chrono::steady_clock::duration limit) {
  std::lock_guard guard(lock_);
  closeExpired();
  EventHandler* key = handler.get();
  const std::uint64_t number = ++retirements_;
  deadlines_.push_back({std::chrono::steady_clock::now() + limit, key, number});
  retired_[key] = {std::move(handler), number};
}

void ReactorPool::finishRetired(EventHandler* handler) {
  std::lock_guard guard(lock_);
  auto it = retired_.find(handler);
  if (it == retired_.end()) return;
  std::unique_ptr<EventHandler> done = std::move(it->second.handler);
  retired_.erase(it);
  release(std::move(done));
}

void ReactorPool::closeExpired() {
  std::lock_guard guard(lock_);
  const auto now = std::chrono::steady_clock::now();
  while (!deadlines_.empty() && deadlines_.front().at <= now) {
    const Deadline due = deadlines_.front();
    deadlines_.pop_front();
    auto it = retired_.find(due.handler);
    if (it == retired_.end() || it->second.number != due.number) continue;  // finished already
    std::unique_ptr<EventHandler> expired = std::move(it->second.handler);
    retired_.erase(it);
    release(std::move(expired));
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
