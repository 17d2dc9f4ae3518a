#include "transport/ListenSocket.h"

#include "transport/Reactor.h"
#include "transport/ReactorPool.h"

namespace quorvane {

ListenSocket::~ListenSocket() {
  if (reactor() != nullptr) reactor()->remove(this);
}

void ListenSocket::setOwner(Owner* owner) {
  pool_.assertLocked();
  owner_ = owner;
  if (owner != nullptr) {
    if (reactor() == nullptr) pool_.adopt(this);
    if (reactor() != nullptr) reactor()->setReadInterest(this, true);
  } else {
    pool_.remove(this);
  }
}

bool ListenSocket::close() {
  if (sock_ != kNoSocket) setOwner(nullptr);
  return Socket::close();
}

bool ListenSocket::accept(Socket& target) {
  if (Socket::accept(target)) return true;
  if (sys::isOutOfDescriptors(sys::lastError()) && spare_.release()) {
    Socket refused;
    Socket::accept(refused);
    refused.close();
    spare_.reserve();
    bump(pool_.counters().descriptorRefusals);
  }
  return false;
}

bool ListenSocket::readInput() {
  for (int taken = 0; taken < kAcceptsPerReadiness; ++taken) {
    auto connection = std::make_unique<ClientConnection>(pool_);
    if (!accept(*connection)) break;
    accepted_.push_back(std::move(connection));
  }
  return !accepted_.empty();
}

void ListenSocket::deliverInput() {
  for (auto& connection : accepted_) {
    // Without an owner the connection is closed at once.
    if (owner_ != nullptr) owner_->acceptConnection(std::move(connection));
  }
  accepted_.clear();
}

}  // namespace quorvane
