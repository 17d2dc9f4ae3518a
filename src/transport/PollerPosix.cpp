#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <iterator>
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

// A descriptor and the events it is registered for.
struct Interest {
  int fd;
  std::uint32_t events;
};

bool byDescriptor(const Interest& a, const Interest& b) { return a.fd < b.fd; }

std::uint32_t eventsFor(int kind) {
  switch (kind) {
    case 0: return EPOLLIN;
    case 1: return EPOLLOUT;
    default: return EPOLLPRI;
  }
}

// Whether the returned events count as readiness for a list: hang-ups and errors are reported as
// readable and writable, so the handler's call sees the failure.
bool isReady(int kind, std::uint32_t events) {
  const std::uint32_t failure = EPOLLERR | EPOLLHUP;
  switch (kind) {
    case 0: return events & (EPOLLIN | failure);
    case 1: return events & (EPOLLOUT | failure);
    default: return events & EPOLLPRI;
  }
}

// A failed registration (a descriptor already closed) is reported as every kind of readiness,
// as poll reports a closed descriptor, so that its handler's call sees the failure.
constexpr std::uint32_t kFailed = EPOLLIN | EPOLLOUT | EPOLLPRI | EPOLLERR;

}  // namespace

struct Poller::State {
  int epoll = -1;
  pthread_t thread{};
  // Set once the thread is known; wake() may come from any thread.
  std::atomic<bool> attached{false};
  // The waiting thread's signal mask without the wake-up signal: in force only inside the wait.
  sigset_t waitMask;
  // What the epoll set holds, and what the lists name, each sorted by descriptor: changed only
  // by watch and forget.
  std::vector<Interest> registered;
  std::vector<Interest> wanted;
  // The waiting thread's own, filled by watch and read by the wait that follows: registrations
  // that failed, then what the wait found ready, and the wait's buffer.
  std::vector<Interest> found;
  std::vector<epoll_event> events;

  // Makes `next`'s registration what `current` (the same descriptor, or none) is not yet.
  void change(const Interest* current, const Interest& next);
  // Takes the descriptor out of the epoll set.
  void drop(int fd);
};

void Poller::State::drop(int fd) {
  epoll_event unused{};
  epoll_ctl(epoll, EPOLL_CTL_DEL, fd, &unused);
}

void Poller::State::change(const Interest* current, const Interest& next) {
  if (current != nullptr && current->events == next.events) return;
  epoll_event event{};
  event.events = next.events;
  event.data.fd = next.fd;
  if (epoll_ctl(epoll, current == nullptr ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, next.fd, &event) != 0) {
    found.push_back({next.fd, kFailed});
  }
}

Poller::Poller() : state_(new State) {
  installWakeHandler();
  state_->epoll = epoll_create1(EPOLL_CLOEXEC);
}

Poller::~Poller() {
  if (state_->epoll >= 0) close(state_->epoll);
  delete state_;
}

bool Poller::valid() const { return state_->epoll >= 0; }

void Poller::attachToThisThread() {
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, kWakeSignal);
  // Outside the wait the signal stays pending, so a wake-up sent before the wait is not lost.
  pthread_sigmask(SIG_BLOCK, &wake, &state_->waitMask);
  sigdelset(&state_->waitMask, kWakeSignal);
  state_->thread = pthread_self();
  state_->attached = true;
}

void Poller::wake() {
  if (state_->attached) pthread_kill(state_->thread, kWakeSignal);
}

void Poller::watch(const Lists& lists) {
  // One interest per distinct handle, sorted by handle; the vectors are reused from pass to pass.
  State& state = *state_;
  const std::vector<SocketHandle>* byKind[3] = {&lists.read, &lists.write, &lists.exception};
  std::vector<Interest>& wanted = state.wanted;
  wanted.clear();
  for (int kind = 0; kind < 3; ++kind) {
    for (SocketHandle h : *byKind[kind]) wanted.push_back({static_cast<int>(h), eventsFor(kind)});
  }
  std::sort(wanted.begin(), wanted.end(), byDescriptor);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    if (kept > 0 && wanted[kept - 1].fd == wanted[i].fd) {
      wanted[kept - 1].events |= wanted[i].events;
    } else {
      wanted[kept++] = wanted[i];
    }
  }
  wanted.resize(kept);

  // Only the differences reach the kernel.
  state.found.clear();
  auto current = state.registered.begin();
  for (const Interest& next : wanted) {
    for (; current != state.registered.end() && current->fd < next.fd; ++current) {
      state.drop(current->fd);
    }
    const bool held = current != state.registered.end() && current->fd == next.fd;
    state.change(held ? &*current : nullptr, next);
    if (held) ++current;
  }
  for (; current != state.registered.end(); ++current) state.drop(current->fd);
  // What failed is registered nowhere, and is tried again by the next watch.
  state.registered.clear();
  std::set_difference(wanted.begin(), wanted.end(), state.found.begin(), state.found.end(),
                      std::back_inserter(state.registered), byDescriptor);
  // Room for every registration; forget, from another thread, only removes some.
  state.events.resize(state.registered.size() + 1);
}

void Poller::forget(SocketHandle handle) {
  std::vector<Interest>& registered = state_->registered;
  const Interest key{static_cast<int>(handle), 0};
  auto it = std::lower_bound(registered.begin(), registered.end(), key, byDescriptor);
  if (it == registered.end() || it->fd != key.fd) return;
  state_->drop(key.fd);
  registered.erase(it);
}

// The lists are those last given to watch, whose copy in `wanted` the wait reads.
bool Poller::wait(const Lists&, Ready& ready, int timeoutMs) {
  ready.read.clear();
  ready.write.clear();
  ready.exception.clear();
  ready.woken = false;

  State& state = *state_;
  // A failed registration is reported at once.
  const int count = epoll_pwait(state.epoll, state.events.data(),
                                static_cast<int>(state.events.size()),
                                state.found.empty() ? timeoutMs : 0, &state.waitMask);
  if (count < 0) {
    // The wake-up signal (or any other) ended the wait.
    ready.woken = errno == EINTR;
    return ready.woken;
  }
  for (int i = 0; i < count; ++i) {
    state.found.push_back({state.events[i].data.fd, state.events[i].events});
  }

  // Only what was found is looked at, each for the kinds its lists asked for (as `wanted` holds
  // them since the last watch).
  std::vector<SocketHandle>* outByKind[3] = {&ready.read, &ready.write, &ready.exception};
  for (const Interest& got : state.found) {
    auto asked = std::lower_bound(state.wanted.begin(), state.wanted.end(), got, byDescriptor);
    if (asked == state.wanted.end() || asked->fd != got.fd) continue;
    for (int kind = 0; kind < 3; ++kind) {
      if ((asked->events & eventsFor(kind)) && isReady(kind, got.events)) {
        outByKind[kind]->push_back(static_cast<SocketHandle>(got.fd));
      }
    }
  }
  state.found.clear();
  return true;
}

}  // namespace quorvane
