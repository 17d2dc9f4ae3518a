// Bounded waiting for conditions that another thread makes true.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "transport/Socket.h"

namespace quorvane::test {

constexpr std::chrono::milliseconds kPatience{10000};

// Polls `condition` until it holds or `timeout` has passed; returns its last value.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = kPatience) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// True when the socket has something to read within the time-out.
inline bool waitReadable(SocketHandle socket, std::chrono::milliseconds timeout = kPatience) {
  return sys::waitReady(socket, false, static_cast<int>(timeout.count()));
}

// The next datagram on `socket` within the time-out, whole (up to 2048 bytes), or none.
inline std::optional<std::vector<std::uint8_t>> nextDatagram(
    Socket& socket, std::chrono::milliseconds timeout = kPatience) {
  if (!waitReadable(socket.sock(), timeout)) return std::nullopt;
  std::vector<std::uint8_t> bytes(2048);
  std::string address;
  int port = 0;
  const int length =
      socket.receiveFrom(bytes.data(), static_cast<int>(bytes.size()), address, port);
  if (length < 0 || length > static_cast<int>(bytes.size())) return std::nullopt;
  bytes.resize(static_cast<std::size_t>(length));
  return bytes;
}

}  // namespace quorvane::test
