#include "transport/Socket.h"

#include <algorithm>

namespace quorvane {

namespace {

constexpr std::size_t kMaxDottedQuadLength = 15;

bool validPort(int port) { return port >= 0 && port <= 65535; }

sys::socklen_type addressLength() { return static_cast<sys::socklen_type>(sizeof(sockaddr_in)); }

bool localRecord(SocketHandle handle, sockaddr_in& local) {
  if (handle == kNoSocket) {
    return false;
  }
  sys::socklen_type length = addressLength();
  return ::getsockname(sys::native(handle), reinterpret_cast<sockaddr*>(&local), &length) == 0;
}

}  // namespace

Socket::~Socket() {
  if (sock_ != kNoSocket) {
    sys::closeSocket(sock_);
  }
}

bool Socket::create(int port, int type, const std::string& address) {
  // A handle already held would otherwise be leaked.
  if (sock_ != kNoSocket) {
    close();
  }
  int nativeType = 0;
  if (type == Stream) {
    nativeType = SOCK_STREAM;
  } else if (type == Datagram) {
    nativeType = SOCK_DGRAM;
  } else {
    return false;
  }
  sock_ = static_cast<SocketHandle>(::socket(AF_INET, nativeType, 0));
  if (sock_ == kNoSocket) {
    return false;
  }
  // A restarted server must be able to listen again while old connections linger.
  if (type == Stream) sys::allowAddressReuse(sock_);
  return bind(port, address);
}

bool Socket::bind(int port, const std::string& address) {
  if (!validPort(port) || address.size() > kMaxDottedQuadLength) {
    return false;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<std::uint16_t>(port));
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!address.empty() && !sys::parseDottedQuad(address, local.sin_addr)) {
    return false;
  }
  return ::bind(sys::native(sock_), reinterpret_cast<const sockaddr*>(&local), addressLength()) == 0;
}

bool Socket::close() {
  if (sock_ == kNoSocket) {
    return false;
  }
  SocketHandle handle = sock_;
  sock_ = kNoSocket;
  return sys::closeSocket(handle) == 0;
}

bool Socket::listen(int backlog) { return ::listen(sys::native(sock_), backlog) == 0; }

bool Socket::accept(Socket& target) {
  // The target's old handle, if any, would otherwise be leaked.
  if (target.sock_ != kNoSocket) {
    target.close();
  }
  target.sock_ = static_cast<SocketHandle>(::accept(sys::native(sock_), nullptr, nullptr));
  return target.sock_ != kNoSocket;
}

bool Socket::shutdown(int how) {
  if (sock_ == kNoSocket) {
    return false;
  }
  // 0, 1 and 2 are the receive, send and both values on every platform.
  if (how < 0 || how > 2) {
    return true;
  }
  return ::shutdown(sys::native(sock_), how) == 0;
}

bool Socket::setNonBlocking(bool on) {
  return sock_ != kNoSocket && sys::setNonBlockingMode(sock_, on);
}

int Socket::receive(void* buffer, int length) {
  return static_cast<int>(
      ::recv(sys::native(sock_), static_cast<char*>(buffer), std::max(length, 0), 0));
}

int Socket::send(const void* bytes, int length) {
  return static_cast<int>(::send(sys::native(sock_), static_cast<const char*>(bytes),
                                 std::max(length, 0), sys::sendFlags()));
}

long Socket::sendGathered(const sys::SendSlice* slices, int count) {
  return sys::sendGathered(sock_, slices, count);
}

bool Socket::setNoDelay() { return sock_ != kNoSocket && sys::setNoDelay(sock_); }

bool Socket::setSendBufferSize(int bytes) {
  return sock_ != kNoSocket &&
         ::setsockopt(sys::native(sock_), SOL_SOCKET, SO_SNDBUF,
                      reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0;
}

int Socket::sendTo(const void* bytes, int length, const sockaddr_in& destination) {
  return static_cast<int>(::sendto(sys::native(sock_), static_cast<const char*>(bytes),
                                   std::max(length, 0), 0,
                                   reinterpret_cast<const sockaddr*>(&destination),
                                   addressLength()));
}

int Socket::localPort() const {
  sockaddr_in local{};
  return localRecord(sock_, local) ? ntohs(local.sin_port) : -1;
}

bool Socket::peerAddress(std::string& address, int& port) const {
  sockaddr_in peer{};
  sys::socklen_type length = addressLength();
  if (sock_ == kNoSocket ||
      ::getpeername(sys::native(sock_), reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
    return false;
  }
  address = sys::dottedQuad(peer.sin_addr);
  port = ntohs(peer.sin_port);
  return true;
}

bool Socket::lastErrorIsFatal() { return !sys::isWouldBlock(sys::lastError()); }

std::string Socket::lastErrorText() { return sys::errorText(sys::lastError()); }

// Test hooks.

bool Socket::connect(const std::string& address, int port) {
  if (sock_ == kNoSocket) {
    return false;
  }
  sockaddr_in remote = sys::resolveAddress(address, port);
  return ::connect(sys::native(sock_), reinterpret_cast<const sockaddr*>(&remote),
                   addressLength()) == 0;
}

bool Socket::localAddress(std::string& out) const {
  sockaddr_in local{};
  if (!localRecord(sock_, local)) {
    return false;
  }
  out = sys::dottedQuad(local.sin_addr);
  return true;
}

int Socket::receiveFrom(void* buffer, int length, std::string& address, int& port) {
  sockaddr_in sender{};
  sys::socklen_type senderLength = addressLength();
  const int result = static_cast<int>(
      ::recvfrom(sys::native(sock_), static_cast<char*>(buffer), std::max(length, 0),
                 sys::receiveFromFlags(), reinterpret_cast<sockaddr*>(&sender), &senderLength));
  if (result != -1) {
    address = sys::dottedQuad(sender.sin_addr);
    port = ntohs(sender.sin_port);
  }
  return result;
}

int Socket::sendTo(const void* bytes, int length, int port, const std::string& address) {
  return sendTo(bytes, length, sys::resolveAddress(address, port));
}

}  // namespace quorvane
