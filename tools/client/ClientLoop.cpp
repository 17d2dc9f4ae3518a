#include "client/ClientLoop.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>

#include "client/ProtocolClient.h"

namespace quorvane {

namespace {

constexpr int kEventBatch = 256;
constexpr std::uint64_t kVoiceBit = 1;

// An event's data: the slot index, the slot's generation (so events of an earlier registration
// are recognised) and which of the two sockets.
std::uint64_t eventData(std::uint32_t slot, std::uint32_t generation, bool voice) {
  return (std::uint64_t{slot} << 32) | (std::uint64_t{generation & 0x7FFFFFFF} << 1) |
         (voice ? kVoiceBit : 0);
}

}  // namespace

ClientLoop::ClientLoop() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {}

ClientLoop::~ClientLoop() {
  if (epoll_ >= 0) ::close(epoll_);
}

bool ClientLoop::attach(ProtocolClient& client) {
  detach(client);
  std::uint32_t index;
  if (freeSlots_.empty()) {
    index = static_cast<std::uint32_t>(slots_.size());
    slots_.emplace_back();
  } else {
    index = freeSlots_.back();
    freeSlots_.pop_back();
  }
  Slot& slot = slots_[index];
  slot.client = &client;
  slotOf_[&client] = index;
  bool ok = true;
  if (client.tcpSocket() >= 0) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    event.data.u64 = eventData(index, slot.generation, false);
    ok = ::epoll_ctl(epoll_, EPOLL_CTL_ADD, client.tcpSocket(), &event) == 0;
  }
  if (client.udpSocket() >= 0) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLET;
    event.data.u64 = eventData(index, slot.generation, true);
    ok = ::epoll_ctl(epoll_, EPOLL_CTL_ADD, client.udpSocket(), &event) == 0 && ok;
  }
  return ok;
}

void ClientLoop::detach(ProtocolClient& client) {
  const auto found = slotOf_.find(&client);
  if (found == slotOf_.end()) return;
  // The sockets may be closed already (then they left epoll by themselves): errors are fine.
  if (client.tcpSocket() >= 0) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, client.tcpSocket(), nullptr);
  if (client.udpSocket() >= 0) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, client.udpSocket(), nullptr);
  Slot& slot = slots_[found->second];
  slot.client = nullptr;
  ++slot.generation;
  freeSlots_.push_back(found->second);
  slotOf_.erase(found);
}

ClientLoop::TimerId ClientLoop::schedule(Clock::time_point when, Callback callback) {
  const TimerId id{when, ++timerSequence_};
  timers_.emplace(id, std::move(callback));
  return id;
}

bool ClientLoop::runUntil(const std::function<bool()>& done, Clock::time_point deadline) {
  while (!done()) {
    if (Clock::now() >= deadline) return done();
    waitAndDispatch(deadline);
    runDueTimers();
    const Clock::time_point now = Clock::now();
    if (now >= nextTick_) tickAll(now);
  }
  return done();
}

void ClientLoop::waitAndDispatch(Clock::time_point deadline) {
  Clock::time_point until = std::min(deadline, nextTick_);
  if (!timers_.empty()) until = std::min(until, timers_.begin()->first.first);
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
  epoll_event events[kEventBatch];
  const int count = ::epoll_wait(epoll_, events, kEventBatch,
                                 static_cast<int>(std::max<std::int64_t>(0, wait.count())));
  for (int i = 0; i < count; ++i) dispatch(events[i].data.u64, events[i].events);
}

void ClientLoop::dispatch(std::uint64_t data, std::uint32_t events) {
  const auto index = static_cast<std::uint32_t>(data >> 32);
  const auto generation = static_cast<std::uint32_t>((data >> 1) & 0x7FFFFFFF);
  if (index >= slots_.size()) return;
  const Slot& slot = slots_[index];
  if (slot.client == nullptr || (slot.generation & 0x7FFFFFFF) != generation) return;
  if ((data & kVoiceBit) != 0) {
    slot.client->onUdpReadable();
    return;
  }
  const bool failed = (events & (EPOLLERR | EPOLLHUP)) != 0;
  slot.client->onTcpReady(failed || (events & (EPOLLIN | EPOLLRDHUP)) != 0,
                          failed || (events & EPOLLOUT) != 0);
}

void ClientLoop::runDueTimers() {
  const Clock::time_point now = Clock::now();
  while (!timers_.empty() && timers_.begin()->first.first <= now) {
    Callback callback = std::move(timers_.begin()->second);
    timers_.erase(timers_.begin());
    callback();
  }
}

void ClientLoop::tickAll(Clock::time_point now) {
  // By index: a tick may hand lines to a handler, which may attach more clients.
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].client != nullptr) slots_[i].client->tick(now);
  }
  nextTick_ = now + kTickInterval;
}

}  // namespace quorvane
