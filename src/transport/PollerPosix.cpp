#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>

#include "transport/Poller.h"

namespace quorvane {

namespace {

// Sent to a waiting thread to end its wait. Its default action is to ignore it, and it does not
// queue: many wake-ups pending at once are one.
constexpr int kWakeSignal = SIGURG;

void onWakeSignal(int) {}

void installWakeHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_handler = onWakeSignal;
    sigemptyset(&action.sa_mask);
    sigaction(kWakeSignal, &action, nullptr);
  });
}

short eventsFor(int kind) {
  switch (kind) {
    case 0: return POLLIN;
    case 1: return POLLOUT;
    default: return POLLPRI;
  }
}

// Whether the returned events count as readiness for a list: hang-ups, errors and closed
// descriptors are reported as readable and writable, so the handler's call sees the failure.
bool isReady(int kind, short revents) {
  const short failure = POLLERR | POLLHUP | POLLNVAL;
  switch (kind) {
    case 0: return revents & (POLLIN | failure);
    case 1: return revents & (POLLOUT | failure);
    default: return revents & POLLPRI;
  }
}

bool byDescriptor(const pollfd& a, const pollfd& b) { return a.fd < b.fd; }

}  // namespace

struct Poller::State {
  pthread_t thread{};
  // Set once the thread is known; wake() may come from any thread.
  std::atomic<bool> attached{false};
  // The waiting thread's signal mask without the wake-up signal: in force only inside ppoll.
  sigset_t waitMask;
  std::vector<pollfd> fds;
};

Poller::Poller() : state_(new State) { installWakeHandler(); }

Poller::~Poller() { delete state_; }

bool Poller::valid() const { return true; }

void Poller::attachToThisThread() {
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, kWakeSignal);
  // Outside ppoll the signal stays pending, so a wake-up sent before the wait is not lost.
  pthread_sigmask(SIG_BLOCK, &wake, &state_->waitMask);
  sigdelset(&state_->waitMask, kWakeSignal);
  state_->thread = pthread_self();
  state_->attached = true;
}

void Poller::wake() {
  if (state_->attached) pthread_kill(state_->thread, kWakeSignal);
}

bool Poller::wait(const Lists& lists, Ready& ready, int timeoutMs) {
  ready.read.clear();
  ready.write.clear();
  ready.exception.clear();
  ready.woken = false;

  // One pollfd per distinct handle, sorted by handle; the vector is reused from pass to pass.
  const std::vector<SocketHandle>* byKind[3] = {&lists.read, &lists.write, &lists.exception};
  std::vector<pollfd>& fds = state_->fds;
  fds.clear();
  for (int kind = 0; kind < 3; ++kind) {
    for (SocketHandle h : *byKind[kind]) fds.push_back({static_cast<int>(h), eventsFor(kind), 0});
  }
  std::sort(fds.begin(), fds.end(), byDescriptor);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < fds.size(); ++i) {
    if (kept > 0 && fds[kept - 1].fd == fds[i].fd) {
      fds[kept - 1].events |= fds[i].events;
    } else {
      fds[kept++] = fds[i];
    }
  }
  fds.resize(kept);

  timespec limit{timeoutMs / 1000, static_cast<long>(timeoutMs % 1000) * 1000000};
  int count = ::ppoll(fds.data(), fds.size(), timeoutMs < 0 ? nullptr : &limit, &state_->waitMask);
  if (count < 0) {
    // The wake-up signal (or any other) ended the wait.
    ready.woken = errno == EINTR;
    return ready.woken;
  }

  std::vector<SocketHandle>* outByKind[3] = {&ready.read, &ready.write, &ready.exception};
  for (int kind = 0; kind < 3; ++kind) {
    for (SocketHandle h : *byKind[kind]) {
      pollfd key{static_cast<int>(h), 0, 0};
      auto it = std::lower_bound(fds.begin(), fds.end(), key, byDescriptor);
      if (it != fds.end() && it->fd == key.fd && isReady(kind, it->revents)) {
        outByKind[kind]->push_back(h);
      }
    }
  }
  return true;
}

}  // namespace quorvane
