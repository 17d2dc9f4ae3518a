#include "transport/HttpStream.h"

#include <algorithm>
#include <cstring>

namespace quorvane {

namespace {

void addressOf(SocketHandle sock, bool peer, std::string& ip, int& port) {
  sockaddr_in address{};
  sys::socklen_type length = sizeof address;
  sockaddr* raw = reinterpret_cast<sockaddr*>(&address);
  const int result = peer ? ::getpeername(sys::native(sock), raw, &length)
                          : ::getsockname(sys::native(sock), raw, &length);
  if (result != 0) return;
  ip = sys::dottedQuad(address.sin_addr);
  port = ntohs(address.sin_port);
}

}  // namespace

bool HttpStream::spent() const {
  return received_ >= budget_.maxBytes || Clock::now() >= budget_.deadline;
}

bool HttpStream::waitReady(bool forWrite) const {
  const auto end = std::min(budget_.deadline, Clock::now() + budget_.ioTimeout);
  for (;;) {
    if (budget_.stopping != nullptr && budget_.stopping->load()) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) return false;
    if (sys::waitReady(sock_, forWrite, static_cast<int>(std::min(left, kStopCheck).count()))) {
      return true;
    }
  }
}

bool HttpStream::is_readable() const {
  return bufferStart_ < bufferEnd_ || (received_ < budget_.maxBytes && waitReady(false));
}

ssize_t HttpStream::read(char* ptr, size_t size) {
  if (bufferStart_ == bufferEnd_) {
    if (!is_readable()) return -1;
    const std::size_t room = std::min(buffer_.size(), budget_.maxBytes - received_);
    const auto got = ::recv(sys::native(sock_), buffer_.data(), static_cast<int>(room), 0);
    if (got <= 0) return got;
    received_ += static_cast<std::size_t>(got);
    bufferStart_ = 0;
    bufferEnd_ = static_cast<std::size_t>(got);
  }
  const std::size_t taken = std::min(size, bufferEnd_ - bufferStart_);
  std::memcpy(ptr, buffer_.data() + bufferStart_, taken);
  bufferStart_ += taken;
  return static_cast<ssize_t>(taken);
}

ssize_t HttpStream::write(const char* ptr, size_t size) {
  if (!is_writable()) return -1;
  // A blocking send returns once part of it went out, or at the socket's send time-out.
  const std::size_t chunk = std::min<std::size_t>(size, 1 << 16);
  return ::send(sys::native(sock_), ptr, static_cast<int>(chunk), sys::sendFlags());
}

void HttpStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  addressOf(sock_, true, ip, port);
}

void HttpStream::get_local_ip_and_port(std::string& ip, int& port) const {
  addressOf(sock_, false, ip, port);
}

}  // namespace quorvane
