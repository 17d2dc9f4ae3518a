#include "transport/DatagramSocket.h"

#include <mutex>

#include "transport/ReactorPool.h"

namespace quorvane {

void DatagramSocket::setOwner(Owner* owner) {
  ReactorPool& pool = ReactorPool::instance();
  std::lock_guard<std::recursive_mutex> lock(pool.mutex());
  owner_ = owner;
  if (owner != nullptr) {
    pool.registerHandler(this, EventMask::Read);
  } else {
    pool.unregisterHandler(this, EventMask::Read);
  }
}

bool DatagramSocket::create(int port, int type, const std::string& address) {
  bool created = Socket::create(port, type, address);
  if (sock_ != kNoSocket) setNonBlocking(true);
  return created;
}

bool DatagramSocket::close() {
  ReactorPool& pool = ReactorPool::instance();
  std::lock_guard<std::recursive_mutex> lock(pool.mutex());
  pool.unregisterHandler(this, EventMask::All);
  return Socket::close();
}

bool DatagramSocket::handleInput() {
  for (int read = 0; read < kDatagramsPerReadiness; ++read) {
    sockaddr_in sender{};
    const int length = receiveFrom(buffer_, kDatagramSize, sender);
    // Nothing more waiting (or a failed receive): wait for the next readiness.
    if (length < 0) return true;
    // Anything but a full datagram is dropped, and so is every kind the server does not act on.
    const std::uint8_t kind = buffer_[0];
    if (length != kDatagramSize ||
        (kind != kVoiceHello && kind != kVoiceKeepAlive && kind != kVoiceToForward)) {
      continue;
    }
    if (owner_ == nullptr) return false;
    if (kind == kVoiceHello) {
      owner_->onVoiceHello(quorvane::Datagram(buffer_), sys::dottedQuad(sender.sin_addr),
                           ntohs(sender.sin_port));
    } else if (kind == kVoiceToForward) {
      owner_->onVoiceForward(quorvane::Datagram(buffer_));
    }
  }
  return true;
}

}  // namespace quorvane
