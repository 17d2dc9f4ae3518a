#include "transport/ReactorPool.h"

#include "transport/Reactor.h"

namespace quorvane {

namespace {

// Per thread: how deep in handler calls it is, and what to release when the outermost returns.
thread_local int handlerDepth = 0;
thread_local std::vector<std::function<void()>> pendingReleases;
thread_local std::vector<ReactorPool::PendingOutput*> pendingOutputs;

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
  threads_.emplace_back([reactor] { reactor->run(); });
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
  pendingReleases.push_back(std::move(release));
}

bool ReactorPool::sendAfterHandler(PendingOutput* output) {
  if (handlerDepth == 0) return false;
  pendingOutputs.push_back(output);
  return true;
}

void ReactorPool::forgetPendingOutput(PendingOutput* output) {
  std::erase(pendingOutputs, output);
}

void ReactorPool::enterHandler() { ++handlerDepth; }

void ReactorPool::leaveHandler() {
  if (handlerDepth > 1) {
    --handlerDepth;
    return;
  }
  // The sends still count as part of the call: what they end (a failed connection) is released
  // after them, and what they queue (the notices of that loss) is sent in the same round.
  while (!pendingOutputs.empty()) {
    std::vector<PendingOutput*> batch;
    batch.swap(pendingOutputs);
    for (PendingOutput* output : batch) output->sendPendingOutput();
  }
  --handlerDepth;
  // A release may itself end objects; run until nothing is left.
  while (!pendingReleases.empty()) {
    std::vector<std::function<void()>> batch;
    batch.swap(pendingReleases);
    for (auto& release : batch) release();
  }
}

}  // namespace quorvane
