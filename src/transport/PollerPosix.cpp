#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <map>

#include "transport/Poller.h"

namespace quorvane {

const int Poller::kWakeDescriptors = 2;

struct Poller::State {
  int wakeRead = -1;
  int wakeWrite = -1;
  std::vector<pollfd> fds;
};

Poller::Poller() : state_(new State) {
  int ends[2];
  if (::pipe(ends) != 0) return;
  for (int end : ends) {
    ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
    ::fcntl(end, F_SETFD, FD_CLOEXEC);
  }
  state_->wakeRead = ends[0];
  state_->wakeWrite = ends[1];
}

Poller::~Poller() {
  if (state_->wakeRead >= 0) ::close(state_->wakeRead);
  if (state_->wakeWrite >= 0) ::close(state_->wakeWrite);
  delete state_;
}

bool Poller::valid() const { return state_->wakeRead >= 0; }

void Poller::wake() {
  char byte = 1;
  // A full pipe already holds a pending wake-up, so a failed write loses nothing.
  [[maybe_unused]] ssize_t n = ::write(state_->wakeWrite, &byte, 1);
}

namespace {

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

}  // namespace

bool Poller::wait(const Lists& lists, Ready& ready) {
  ready.read.clear();
  ready.write.clear();
  ready.exception.clear();
  ready.woken = false;

  // One pollfd per distinct handle, ascending, after the wake-up pipe.
  const std::vector<SocketHandle>* byKind[3] = {&lists.read, &lists.write, &lists.exception};
  std::map<SocketHandle, short> events;
  for (int kind = 0; kind < 3; ++kind) {
    for (SocketHandle h : *byKind[kind]) events[h] |= eventsFor(kind);
  }
  std::vector<pollfd>& fds = state_->fds;
  fds.clear();
  fds.push_back({state_->wakeRead, POLLIN, 0});
  for (const auto& [handle, mask] : events) fds.push_back({static_cast<int>(handle), mask, 0});

  int count = ::poll(fds.data(), fds.size(), -1);
  if (count < 0) return errno == EINTR;

  if (fds[0].revents & POLLIN) {
    char drain[64];
    while (::read(state_->wakeRead, drain, sizeof drain) > 0) {
    }
    ready.woken = true;
  }
  std::map<SocketHandle, short> returned;
  for (std::size_t i = 1; i < fds.size(); ++i) {
    if (fds[i].revents) returned[fds[i].fd] = fds[i].revents;
  }
  std::vector<SocketHandle>* outByKind[3] = {&ready.read, &ready.write, &ready.exception};
  for (int kind = 0; kind < 3; ++kind) {
    for (SocketHandle h : *byKind[kind]) {
      auto it = returned.find(h);
      if (it != returned.end() && isReady(kind, it->second)) outByKind[kind]->push_back(h);
    }
  }
  return true;
}

}  // namespace quorvane
