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

bool DatagramSocket::close() {
  ReactorPool& pool = ReactorPool::instance();
  std::lock_guard<std::recursive_mutex> lock(pool.mutex());
  pool.unregisterHandler(this, EventMask::All);
  return Socket::close();
}

bool DatagramSocket::handleInput() {
  std::string address;
  int port = 0;
  // Anything but a full datagram, a would-block result included, is dropped.
  if (receiveFrom(buffer_, kDatagramSize, address, port) != kDatagramSize) {
    return true;
  }
  const std::uint8_t kind = buffer_[0];
  if (kind != kVoiceHello && kind != kVoiceKeepAlive && kind != kVoiceToForward) {
    return true;
  }
  if (owner_ == nullptr) {
    return false;
  }
  if (kind == kVoiceHello) {
    owner_->onVoiceHello(quorvane::Datagram(buffer_), address, port);
  } else if (kind == kVoiceToForward) {
    owner_->onVoiceForward(quorvane::Datagram(buffer_));
  }
  return true;
}

}  // namespace quorvane
