#include "transport/Poller.h"

namespace quorvane {

// The wake-up channel is a datagram socket on the loopback address, connected to itself: wake()
// sends it one byte, which makes it readable in the pending select.
struct Poller::State {
  SOCKET wake = INVALID_SOCKET;
};

Poller::Poller() : state_(new State) {
  SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  u_long nonBlocking = 1;
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    ::closesocket(s);
    return;
  }
  state_->wake = s;
}

Poller::~Poller() {
  if (state_->wake != INVALID_SOCKET) ::closesocket(state_->wake);
  delete state_;
}

bool Poller::valid() const { return state_->wake != INVALID_SOCKET; }

void Poller::attachToThisThread() {}

// select takes the lists at every wait.
void Poller::watch(const Lists&) {}

void Poller::forget(SocketHandle) {}

void Poller::wake() {
  char byte = 1;
  ::send(state_->wake, &byte, 1, 0);
}

namespace {

void fill(fd_set& set, const std::vector<SocketHandle>& handles) {
  for (SocketHandle h : handles) {
    if (set.fd_count >= FD_SETSIZE) break;
    FD_SET(static_cast<SOCKET>(h), &set);
  }
}

void collect(const fd_set& set, const std::vector<SocketHandle>& handles,
             std::vector<SocketHandle>& out) {
  for (SocketHandle h : handles) {
    if (FD_ISSET(static_cast<SOCKET>(h), const_cast<fd_set*>(&set))) out.push_back(h);
  }
}

}  // namespace

bool Poller::wait(const Lists& lists, Ready& ready, int timeoutMs) {
  ready.read.clear();
  ready.write.clear();
  ready.exception.clear();
  ready.woken = false;

  fd_set readSet, writeSet, exceptionSet;
  FD_ZERO(&readSet);
  FD_ZERO(&writeSet);
  FD_ZERO(&exceptionSet);
  FD_SET(state_->wake, &readSet);
  fill(readSet, lists.read);
  fill(writeSet, lists.write);
  fill(exceptionSet, lists.exception);

  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  if (::select(0, &readSet, &writeSet, &exceptionSet, timeoutMs < 0 ? nullptr : &limit) ==
      SOCKET_ERROR) {
    return false;
  }

  if (FD_ISSET(state_->wake, &readSet)) {
    char drain[64];
    while (::recv(state_->wake, drain, sizeof drain, 0) > 0) {
    }
    ready.woken = true;
  }
  collect(readSet, lists.read, ready.read);
  collect(writeSet, lists.write, ready.write);
  collect(exceptionSet, lists.exception, ready.exception);
  return true;
}

}  // namespace quorvane
