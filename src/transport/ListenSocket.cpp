#include "transport/ListenSocket.h"

#include <mutex>

#include "transport/ReactorPool.h"

namespace quorvane {

void ListenSocket::setOwner(Owner* owner) {
  ReactorPool& pool = ReactorPool::instance();
  std::lock_guard<std::recursive_mutex> lock(pool.mutex());
  owner_ = owner;
  if (owner != nullptr) {
    pool.registerHandler(this, EventMask::Accept);
  } else {
    pool.unregisterHandler(this, EventMask::Accept);
  }
}

bool ListenSocket::close() {
  ReactorPool& pool = ReactorPool::instance();
  std::lock_guard<std::recursive_mutex> lock(pool.mutex());
  if (sock_ != kNoSocket) {
    pool.unregisterHandler(this, EventMask::All);
  }
  return Socket::close();
}

bool ListenSocket::accept(Socket& target) {
  if (Socket::accept(target)) return true;
  if (sys::isOutOfDescriptors(sys::lastError()) && spare_.release()) {
    Socket refused;
    Socket::accept(refused);
    refused.close();
    spare_.reserve();
  }
  return false;
}

bool ListenSocket::handleAccept() {
  if (owner_ == nullptr) {
    return false;
  }
  for (int taken = 0; taken < kAcceptsPerReadiness; ++taken) {
    if (owner_ == nullptr || !owner_->acceptConnection(*this)) break;
  }
  return true;
}

}  // namespace quorvane
