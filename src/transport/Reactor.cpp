#include "transport/Reactor.h"

#include <algorithm>

#include "transport/ReactorPool.h"

namespace quorvane {

namespace {

void appendUpToLimit(std::vector<SocketHandle>& list, SocketHandle handle) {
  if (static_cast<int>(list.size()) < Reactor::kListLimit) list.push_back(handle);
}

}  // namespace

Reactor::Reactor(ReactorPool& pool, std::size_t index) : pool_(pool), index_(index) {}

Reactor::~Reactor() {
  // Handlers still adopted belong to others, and those retired go with the loop: none may reach
  // back to it.
  for (const Slot& slot : slots_) slot.handler->reactor_ = nullptr;
  for (const auto& entry : retired_) entry.first->reactor_ = nullptr;
  retired_.clear();
  finished_.clear();
}

void Reactor::add(EventHandler* handler) {
  pool_.assertLocked();
  handler->reactor_ = this;
  // A handle still watched named a socket closed without its removal: watched anew.
  poller_.forget(handler->handle());
  auto it = find(handler->handle());
  if (it != slots_.end() && it->handle == handler->handle()) {
    *it = Slot{handler->handle(), handler, 0};
  } else {
    slots_.insert(it, Slot{handler->handle(), handler, 0});
  }
}

std::vector<Reactor::Slot>::iterator Reactor::find(SocketHandle handle) {
  return std::lower_bound(slots_.begin(), slots_.end(), handle,
                          [](const Slot& slot, SocketHandle h) { return slot.handle < h; });
}

void Reactor::remove(EventHandler* handler) {
  pool_.assertLocked();
  // The loop may be calling it right now, without the lock: wait until that is over.
  while (dispatching_ && !onLoopThread()) dispatched_.wait(pool_);
  const SocketHandle handle = handler->handle();
  if (serves(handler, handle)) {
    slots_.erase(find(handle));
    poller_.forget(handle);
  }
  cancelWake(handler);
  std::erase(outputs_, handler);
  handler->reactor_ = nullptr;
  wake();
}

bool Reactor::serves(EventHandler* handler, SocketHandle handle) {
  auto it = find(handle);
  return it != slots_.end() && it->handle == handle && it->handler == handler;
}

void Reactor::setReadInterest(EventHandler* handler, bool on) {
  pool_.assertLocked();
  if (!serves(handler, handler->handle())) return;
  int& interest = find(handler->handle())->interest;
  const int before = interest;
  interest = on ? (before | EventMask::Read) : (before & ~EventMask::Read);
  if (interest != before) wake();
}

void Reactor::wakeAt(EventHandler* handler, Clock::time_point at) {
  pool_.assertLocked();
  if (auto it = wakeOf_.find(handler); it != wakeOf_.end()) {
    if (it->second->first <= at) return;
    wakes_.erase(it->second);
    wakeOf_.erase(it);
  }
  const bool first = wakes_.empty() || at < wakes_.begin()->first;
  wakeOf_[handler] = wakes_.emplace(at, handler);
  if (first) wake();
}

void Reactor::cancelWake(EventHandler* handler) {
  pool_.assertLocked();
  auto it = wakeOf_.find(handler);
  if (it == wakeOf_.end()) return;
  wakes_.erase(it->second);
  wakeOf_.erase(it);
}

void Reactor::queueOutput(EventHandler* handler) {
  pool_.assertLocked();
  outputs_.push_back(handler);
  // The loop's own thread sends it before it waits again; another thread's section wakes it.
  if (!onLoopThread()) pool_.wakeAfterSection(this);
}

void Reactor::retire(std::unique_ptr<EventHandler> handler) {
  pool_.assertLocked();
  EventHandler* key = handler.get();
  retired_[key] = std::move(handler);
}

void Reactor::finishRetired(EventHandler* handler) {
  pool_.assertLocked();
  auto it = retired_.find(handler);
  if (it == retired_.end()) return;
  remove(handler);
  // Destroyed before the next wait, when no call of it can be running.
  finished_.push_back(std::move(it->second));
  retired_.erase(it);
  wake();
}

void Reactor::wake() {
  pool_.assertLocked();
  if (inWait_ && !woken_) {
    poller_.wake();
    woken_ = true;
  }
}

void Reactor::stop() {
  pool_.assertLocked();
  running_ = false;
  wake();
}

void Reactor::run() {
  poller_.attachToThisThread();
  std::vector<EventHandler*> outputs;
  int timeoutMs = -1;
  bool running = true;
  {
    ReactorPool::Section section(pool_);
    thread_ = std::this_thread::get_id();
    timeoutMs = prepare(outputs);
    running = inWait_ = running_ && poller_.valid();
  }
  // Two short sections a pass: one to look up what the wait found ready, one to hand on what was
  // read and to prepare the next wait. Socket I/O and the wait itself are done without the lock;
  // a wake-up that comes meanwhile ends the next wait at once.
  for (;;) {
    for (EventHandler* handler : outputs) {
      const bool more = handler->sendTaken();
      writing_.push_back({Ready{handler, handler->handle(), EventMask::Write}, more});
      // A full socket is waited for from the next pass on: this one looks again at once.
      if (more) timeoutMs = 0;
    }
    if (!running) break;
    const bool waited = poller_.wait(lists_, poll_, timeoutMs);
    {
      ReactorPool::Section section(pool_);
      inWait_ = false;
      if (!waited && !woken_) running_ = false;  // the wait itself failed: this loop cannot go on
      woken_ = false;
      collectReady();
      dispatching_ = !ready_.empty();
    }
    dispatch();
    {
      ReactorPool::Section section(pool_);
      pool_.runPassTask();
      deliver();
      dispatching_ = false;
      dispatched_.notify_all();
      noteWriting();
      timeoutMs = prepare(outputs);
      running = inWait_ = running_ && poller_.valid();
    }
  }
  ReactorPool::Section section(pool_);
  noteWriting();
  finished_.clear();
}

int Reactor::prepare(std::vector<EventHandler*>& outputs) {
  finished_.clear();
  if (index_ == 0) pool_.runPosted();
  runDueWakes();
  outputs.clear();
  outputs.swap(outputs_);
  for (EventHandler* handler : outputs) handler->takeOutput();
  buildLists();
  return msUntilWake();
}

void Reactor::noteWriting() {
  for (const auto& [ready, more] : writing_) {
    if (!serves(ready.handler, ready.handle)) continue;
    int& interest = find(ready.handle)->interest;
    interest = more ? (interest | EventMask::Write) : (interest & ~EventMask::Write);
  }
  writing_.clear();
}

void Reactor::runDueWakes() {
  const Clock::time_point now = Clock::now();
  while (!wakes_.empty() && wakes_.begin()->first <= now) {
    EventHandler* handler = wakes_.begin()->second;
    wakes_.erase(wakes_.begin());
    wakeOf_.erase(handler);
    handler->handleTimeout();
  }
}

int Reactor::msUntilWake() const {
  if (wakes_.empty()) return -1;
  const auto left = wakes_.begin()->first - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  // Rounded up, so that the wait never ends just before the time.
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

void Reactor::buildLists() {
  lists_.read.clear();
  lists_.write.clear();
  lists_.exception.clear();
  for (const Slot& slot : slots_) {
    if (slot.interest & EventMask::Read) appendUpToLimit(lists_.read, slot.handle);
    if (slot.interest & EventMask::Write) appendUpToLimit(lists_.write, slot.handle);
  }
  // A stopped loop makes its last pass without waiting.
  if (running_) poller_.watch(lists_);
}

void Reactor::collectReady() {
  // Readable handles first, then writable ones, each ascending; every one looked up now, since a
  // call made after the wait began may have removed it.
  ready_.clear();
  const std::vector<SocketHandle>* kinds[] = {&poll_.read, &poll_.write};
  const int masks[] = {EventMask::Read, EventMask::Write};
  for (int kind = 0; kind < 2; ++kind) {
    std::vector<SocketHandle> handles = *kinds[kind];
    std::sort(handles.begin(), handles.end());
    for (SocketHandle handle : handles) {
      auto it = find(handle);
      if (it == slots_.end() || it->handle != handle || !(it->interest & masks[kind])) continue;
      ready_.push_back({it->handler, handle, masks[kind]});
    }
  }
}

void Reactor::dispatch() {
  delivering_.clear();
  for (const Ready& ready : ready_) {
    // An earlier call of this pass may have removed it (only this thread can, meanwhile).
    if (ready.handler->reactor() != this) continue;
    if (ready.mask == EventMask::Read) {
      if (ready.handler->readInput()) delivering_.push_back(ready.handler);
    } else {
      writing_.push_back({ready, ready.handler->handleWrite()});
    }
  }
}

void Reactor::deliver() {
  // In ascending order of handles, as they were read; one may end another meanwhile.
  for (EventHandler* handler : delivering_) {
    if (handler->reactor() == this) handler->deliverInput();
  }
  delivering_.clear();
}

}  // namespace quorvane
