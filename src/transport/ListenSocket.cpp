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

bool ListenSocket::handleAccept() {
  if (owner_ == nullptr) {
    return false;
  }
  owner_->acceptConnection(*this);
  return true;
}

}  // namespace quorvane
