#include "support/LoopbackPair.h"

namespace quorvane::test {

LoopbackPair::LoopbackPair() {
  SocketHandle listener = static_cast<SocketHandle>(::socket(AF_INET, SOCK_STREAM, 0));
  if (listener == kNoSocket) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sys::socklen_type length = sizeof address;
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  if (::bind(sys::native(listener), raw, sizeof address) == 0 &&
      ::getsockname(sys::native(listener), raw, &length) == 0 &&
      ::listen(sys::native(listener), 1) == 0) {
    a_ = static_cast<SocketHandle>(::socket(AF_INET, SOCK_STREAM, 0));
    if (a_ != kNoSocket && ::connect(sys::native(a_), raw, sizeof address) == 0) {
      b_ = static_cast<SocketHandle>(::accept(sys::native(listener), nullptr, nullptr));
    }
  }
  sys::closeSocket(listener);
}

LoopbackPair::~LoopbackPair() {
  if (a_ != kNoSocket) sys::closeSocket(a_);
  if (b_ != kNoSocket) sys::closeSocket(b_);
}

SocketHandle LoopbackPair::releaseA() {
  SocketHandle handle = a_;
  a_ = kNoSocket;
  return handle;
}

bool LoopbackPair::writeAll(SocketHandle end, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    int n = ::send(sys::native(end), bytes.data() + done, static_cast<int>(bytes.size() - done),
                   sys::sendFlags());
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace quorvane::test
