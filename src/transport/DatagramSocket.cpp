#include "transport/DatagramSocket.h"

#include <algorithm>
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
  int lengths[kDatagramsPerReadiness];
  sockaddr_in senders[kDatagramsPerReadiness];
  const int count = sys::receiveDatagrams(sock_, &buffers_[0][0], kDatagramSize,
                                          kDatagramsPerReadiness, lengths, senders);
  batching_ = true;
  bool keep = true;
  for (int i = 0; i < count && keep; ++i) keep = deliver(buffers_[i], lengths[i], senders[i]);
  batching_ = false;
  sendBatch();
  return keep;
}

bool DatagramSocket::deliver(std::uint8_t* datagram, int length, const sockaddr_in& sender) {
  // Anything but a full datagram is dropped, and so is every kind the server does not act on.
  const std::uint8_t kind = datagram[0];
  if (length != kDatagramSize ||
      (kind != kVoiceHello && kind != kVoiceKeepAlive && kind != kVoiceToForward)) {
    return true;
  }
  if (owner_ == nullptr) return false;
  if (kind == kVoiceHello) {
    owner_->onVoiceHello(quorvane::Datagram(datagram, kDatagramSize),
                         sys::dottedQuad(sender.sin_addr), ntohs(sender.sin_port));
  } else if (kind == kVoiceToForward) {
    owner_->onVoiceForward(quorvane::Datagram(datagram, kDatagramSize), sender);
  }
  return true;
}

void DatagramSocket::sendReceived(const std::uint8_t* datagram, const sockaddr_in& destination) {
  outgoing_[outgoingCount_++] = {datagram, kDatagramSize, destination};
  if (!batching_ || outgoingCount_ == kDatagramsPerReadiness) sendBatch();
}

void DatagramSocket::sendOwn(const std::uint8_t* datagram, const sockaddr_in& destination) {
  if (!batching_) {
    sendTo(datagram, kDatagramSize, destination);
    return;
  }
  std::uint8_t* copy = own_[ownCount_++];
  std::copy(datagram, datagram + kDatagramSize, copy);
  sendReceived(copy, destination);
}

void DatagramSocket::sendToEach(const std::uint8_t* datagram,
                                const std::vector<sockaddr_in>& destinations) {
  std::vector<sys::OutgoingDatagram> outgoing;
  outgoing.reserve(destinations.size());
  for (const sockaddr_in& destination : destinations) {
    outgoing.push_back({datagram, kDatagramSize, destination});
  }
  sys::sendDatagrams(sock_, outgoing.data(), static_cast<int>(outgoing.size()));
}

void DatagramSocket::sendBatch() {
  if (outgoingCount_ == 0) return;
  sys::sendDatagrams(sock_, outgoing_, outgoingCount_);
  outgoingCount_ = 0;
  ownCount_ = 0;
}

}  // namespace quorvane
