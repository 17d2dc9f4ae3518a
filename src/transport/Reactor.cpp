#include "transport/Reactor.h"

#include <algorithm>
#include <mutex>

#include "transport/ReactorPool.h"

namespace quorvane {

namespace {

constexpr int kKinds[] = {EventMask::Read, EventMask::Write, EventMask::Connect, EventMask::Accept,
                          EventMask::Exception};

void appendUpToLimit(std::vector<SocketHandle>& list, SocketHandle handle) {
  if (static_cast<int>(list.size()) < Reactor::kListLimit) list.push_back(handle);
}

bool contains(const std::vector<SocketHandle>& sorted, SocketHandle handle) {
  return std::binary_search(sorted.begin(), sorted.end(), handle);
}

}  // namespace

Reactor::Reactor(ReactorPool& pool, std::size_t index) : pool_(pool), index_(index) {}

Reactor::~Reactor() = default;

Reactor::Table& Reactor::table(int kind) {
  switch (kind) {
    case EventMask::Read: return read_;
    case EventMask::Write: return write_;
    case EventMask::Accept: return accept_;
    case EventMask::Connect: return connect_;
    default: return exception_;
  }
}

void Reactor::addHandler(EventHandler* handler, int mask) {
  std::lock_guard guard(pool_.mutex());
  if (handler == nullptr || handler->handle() == kNoSocket) return;
  for (int kind : kKinds) {
    if (mask & kind) table(kind).emplace(handler->handle(), handler);
  }
  entriesChanged(handler->handle(), false);
  wakeIfWaiting();
}

void Reactor::removeHandler(EventHandler* handler, int mask) {
  std::lock_guard guard(pool_.mutex());
  if (handler == nullptr || handler->handle() == kNoSocket) return;
  std::size_t removed = 0;
  for (int kind : kKinds) {
    if (mask & kind) removed += table(kind).erase(handler->handle());
  }
  // Nothing removed leaves the wait lists as they are: no need to end the wait.
  if (removed == 0) return;
  entriesChanged(handler->handle(), true);
  wakeIfWaiting();
}

void Reactor::entriesChanged(SocketHandle handle, bool shrank) {
  pool_.entriesChanged(this, handle, maskOf(handle) != 0, shrank);
}

int Reactor::registeredMask(const EventHandler* handler) const {
  std::lock_guard guard(pool_.mutex());
  return handler != nullptr ? maskOf(handler->handle()) : 0;
}

int Reactor::maskOf(SocketHandle h) const {
  int mask = 0;
  if (read_.count(h)) mask |= EventMask::Read;
  if (write_.count(h)) mask |= EventMask::Write;
  if (accept_.count(h)) mask |= EventMask::Accept;
  if (connect_.count(h)) mask |= EventMask::Connect;
  if (exception_.count(h)) mask |= EventMask::Exception;
  return mask;
}

int Reactor::load() const {
  std::lock_guard guard(pool_.mutex());
  std::size_t largest = std::max({read_.size(), write_.size(), accept_.size(), connect_.size(),
                                  exception_.size()});
  return static_cast<int>(largest) + 1;
}

bool Reactor::running() const {
  std::lock_guard guard(pool_.mutex());
  return running_;
}

void Reactor::stop() {
  std::lock_guard guard(pool_.mutex());
  if (running_) {
    for (int kind : kKinds) table(kind).clear();
    running_ = false;
  }
  wakeIfWaiting();
}

void Reactor::wake() {
  std::lock_guard guard(pool_.mutex());
  wakeIfWaiting();
}

void Reactor::wakeIfWaiting() {
  if (inWait_ && !woken_) {
    poller_.wake();
    woken_ = true;
  }
}

void Reactor::buildLists(Poller::Lists& lists) const {
  lists.read.clear();
  lists.write.clear();
  lists.exception.clear();
  for (const auto& entry : accept_) appendUpToLimit(lists.read, entry.first);
  for (const auto& entry : read_) {
    if (!accept_.count(entry.first)) appendUpToLimit(lists.read, entry.first);
  }
  for (const auto& entry : connect_) appendUpToLimit(lists.write, entry.first);
  for (const auto& entry : write_) {
    if (!connect_.count(entry.first)) appendUpToLimit(lists.write, entry.first);
  }
  for (const auto& entry : exception_) appendUpToLimit(lists.exception, entry.first);
}

void Reactor::run() {
  poller_.attachToThisThread();
  std::unique_lock guard(pool_.mutex());
  if (!poller_.valid()) running_ = false;
  while (running_) {
    buildLists(lists_);
    // The first loop also serves the pool's wake-ups: it waits no longer than the next one.
    const int timeoutMs = index_ == 0 ? pool_.msUntilWake() : -1;
    inWait_ = true;
    guard.unlock();
    bool waited = poller_.wait(lists_, ready_, timeoutMs);
    guard.lock();
    inWait_ = false;
    if (!waited && !woken_) {
      // The wait itself failed and nobody asked for it: this loop cannot go on.
      running_ = false;
      break;
    }
    woken_ = false;
    if (running_) {
      // The whole pass counts as one handler call: output that its handlers queue goes out when
      // the pass is over, several lines to one client in one send, and what they end is released.
      ReactorPool::enterHandler();
      dispatch(ready_);
      if (index_ == 0) pool_.runDueWakes();
      ReactorPool::leaveHandler();
    }
  }
}

void Reactor::dispatch(const Poller::Ready& ready) {
  // Exception readiness wins over the other kinds in the same pass; each kind is served in
  // ascending handle order. The vectors are reused from pass to pass.
  failed_ = ready.exception;
  std::sort(failed_.begin(), failed_.end());
  readable_.clear();
  writable_.clear();
  for (SocketHandle h : ready.read) {
    if (!contains(failed_, h)) readable_.push_back(h);
  }
  for (SocketHandle h : ready.write) {
    if (!contains(failed_, h)) writable_.push_back(h);
  }
  std::sort(readable_.begin(), readable_.end());
  std::sort(writable_.begin(), writable_.end());

  for (SocketHandle h : failed_) serveException(h);
  for (SocketHandle h : readable_) serveRead(h);
  for (SocketHandle h : writable_) serveWrite(h);
}

void Reactor::serveException(SocketHandle handle) {
  auto it = exception_.find(handle);
  if (it == exception_.end()) return;
  it->second->handleException();
  if (exception_.erase(handle)) entriesChanged(handle, true);
}

void Reactor::serveRead(SocketHandle handle) {
  if (auto it = accept_.find(handle); it != accept_.end()) {
    if (!it->second->handleAccept() && accept_.erase(handle)) entriesChanged(handle, true);
  } else if (auto in = read_.find(handle); in != read_.end()) {
    if (!in->second->handleInput() && read_.erase(handle)) entriesChanged(handle, true);
  }
}

void Reactor::serveWrite(SocketHandle handle) {
  if (auto it = connect_.find(handle); it != connect_.end()) {
    it->second->handleConnect();
    if (connect_.erase(handle)) entriesChanged(handle, true);
  } else if (auto out = write_.find(handle); out != write_.end()) {
    if (!out->second->handleOutput() && write_.erase(handle)) entriesChanged(handle, true);
  }
}

}  // namespace quorvane
