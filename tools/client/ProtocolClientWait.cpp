// The blocking side of ProtocolClient: one client served with poll() (select() on Windows) and
// bounded waits.
#include "client/ProtocolClient.h"

#ifndef _WIN32
#include <poll.h>
#endif

#include <algorithm>

namespace quorvane {

namespace {

// Short enough that the hello is repeated on time while nothing arrives.
constexpr std::chrono::milliseconds kLongestPoll{50};

struct Readiness {
  bool tcpReadable = false;
  bool tcpWritable = false;
  bool udpReadable = false;
};

// Waits up to `wait` for either socket; a failed connection counts as readable and writable.
Readiness waitReady(SocketHandle tcp, SocketHandle udp, bool wantWrite,
                    std::chrono::milliseconds wait) {
  Readiness ready;
#ifdef _WIN32
  fd_set reads, writes, errors;
  FD_ZERO(&reads);
  FD_ZERO(&writes);
  FD_ZERO(&errors);
  FD_SET(sys::native(tcp), &reads);
  FD_SET(sys::native(tcp), &errors);
  if (wantWrite) FD_SET(sys::native(tcp), &writes);
  if (udp != kNoSocket) FD_SET(sys::native(udp), &reads);
  timeval limit{0, static_cast<long>(wait.count()) * 1000};
  if (::select(0, &reads, &writes, &errors, &limit) <= 0) return ready;
  const bool failed = FD_ISSET(sys::native(tcp), &errors) != 0;
  ready.tcpReadable = failed || FD_ISSET(sys::native(tcp), &reads) != 0;
  ready.tcpWritable = failed || FD_ISSET(sys::native(tcp), &writes) != 0;
  ready.udpReadable = udp != kNoSocket && FD_ISSET(sys::native(udp), &reads) != 0;
#else
  pollfd fds[2] = {{sys::native(tcp), POLLIN, 0}, {sys::native(udp), POLLIN, 0}};
  if (wantWrite) fds[0].events |= POLLOUT;
  if (::poll(fds, 2, static_cast<int>(wait.count())) <= 0) return ready;
  const bool failed = (fds[0].revents & (POLLERR | POLLHUP)) != 0;
  ready.tcpReadable = failed || (fds[0].revents & POLLIN) != 0;
  ready.tcpWritable = failed || (fds[0].revents & POLLOUT) != 0;
  ready.udpReadable = (fds[1].revents & POLLIN) != 0;
#endif
  return ready;
}

}  // namespace

bool ProtocolClient::waitUntil(const std::function<bool()>& done,
                               std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  while (!done()) {
    const Clock::time_point now = Clock::now();
    if (now >= deadline || state_ == State::Closed) return done();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    const Readiness ready =
        waitReady(tcp_, udp_, state_ == State::Connecting || pendingOutput() != 0,
                  std::min(left, kLongestPoll) + std::chrono::milliseconds(1));
    if (ready.tcpReadable || ready.tcpWritable) onTcpReady(ready.tcpReadable, ready.tcpWritable);
    if (ready.udpReadable) onUdpReadable();
    tick(Clock::now());
  }
  return true;
}

bool ProtocolClient::login(const Options& options, std::chrono::milliseconds timeout) {
  if (!open(options)) return false;
  waitUntil([this] { return state_ == State::LoggedIn || loginError_ != 0; }, timeout);
  return state_ == State::LoggedIn;
}

std::optional<ServerLine> ProtocolClient::nextLine(std::chrono::milliseconds timeout) {
  waitUntil([this] { return !lineInbox_.empty(); }, timeout);
  if (lineInbox_.empty()) return std::nullopt;
  ServerLine line = std::move(lineInbox_.front());
  lineInbox_.pop_front();
  return line;
}

std::optional<std::vector<std::uint8_t>> ProtocolClient::nextDatagram(
    std::chrono::milliseconds timeout) {
  waitUntil([this] { return !datagramInbox_.empty(); }, timeout);
  if (datagramInbox_.empty()) return std::nullopt;
  std::vector<std::uint8_t> bytes = std::move(datagramInbox_.front());
  datagramInbox_.pop_front();
  return bytes;
}

}  // namespace quorvane
