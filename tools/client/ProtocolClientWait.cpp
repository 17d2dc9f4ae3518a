// The blocking side of ProtocolClient: one client served with poll() and bounded waits.
#include "client/ProtocolClient.h"

#include <poll.h>

#include <algorithm>

namespace quorvane {

namespace {

// Short enough that the hello is repeated on time while nothing arrives.
constexpr std::chrono::milliseconds kLongestPoll{50};

}  // namespace

bool ProtocolClient::waitUntil(const std::function<bool()>& done,
                               std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  while (!done()) {
    const Clock::time_point now = Clock::now();
    if (now >= deadline || state_ == State::Closed) return done();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    pollfd fds[2] = {{tcp_, POLLIN, 0}, {udp_, POLLIN, 0}};
    if (state_ == State::Connecting || pendingOutput() != 0) fds[0].events |= POLLOUT;
    const int wait = static_cast<int>(std::min(left, kLongestPoll).count()) + 1;
    if (::poll(fds, 2, wait) > 0) {
      const bool failed = (fds[0].revents & (POLLERR | POLLHUP)) != 0;
      if (fds[0].revents != 0) {
        onTcpReady(failed || (fds[0].revents & POLLIN) != 0,
                   failed || (fds[0].revents & POLLOUT) != 0);
      }
      if ((fds[1].revents & POLLIN) != 0) onUdpReadable();
    }
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
