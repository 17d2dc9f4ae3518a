#include "server/UserSession.h"
#include "server/VoiceServer.h"

namespace quorvane {

namespace {

bool looksPrivate(std::uint32_t x) {
  for (std::uint32_t mask : {0x0AFFFFFFu, 0xAC10FFFFu, 0xC0A8FFFFu}) {
    if ((x & mask) == x) return true;
  }
  return false;
}

// Address and port as one key, both as they travel on the wire.
std::uint64_t endpointKey(const sockaddr_in& endpoint) {
  return std::uint64_t{endpoint.sin_addr.s_addr} << 16 | endpoint.sin_port;
}

}  // namespace

void VoiceServer::onVoiceHello(Datagram datagram, const std::string& address, int port) {
  Guard guard(*this);
  UserSession* user = findUser(datagram[2] + 256 * datagram[3]);
  if (user == nullptr) return;
  // Only the user's own host may move its voice: a hello from anywhere else is not answered,
  // so it neither takes the user's voice nor tells which ids are in use.
  if (voiceAddressCheck_ && address != user->peerAddress()) return;
  forgetVoiceEndpoint(user);
  user->setVoiceAddress(address);
  user->setSoundPort(port);
  rememberVoiceEndpoint(user);
  if (!user->voiceConfirmed() && datagram[1] <= 2) user->setVoiceConfirmed(true);
  std::uint8_t reply[kDatagramSize] = {kVoiceHelloReply, 2, datagram[2], datagram[3]};
  sendDatagram(reply, user);
}

void VoiceServer::onVoiceForward(Datagram datagram, const sockaddr_in& sender) {
  if (!running_) return;
  Guard guard(*this);
  if (!allowForwarding_) return;
  UserSession* recipient = findUser(datagram[4]);
  if (recipient == nullptr) return;
  if (voiceAddressCheck_) {
    // Forwarding is for members of one channel, from a known user's own endpoint: not a relay
    // that hides anyone's address.
    const UserSession* from = voiceSender(sender);
    if (from == nullptr || !recipient->loggedIn() || recipient->channel() != from->channel()) {
      return;
    }
  }
  if (limits_.voiceLimit != 0) {
    // Excess voice is dropped, as UDP may drop it anyway.
    const auto now = std::chrono::steady_clock::now();
    TokenBucket& bucket = voiceBuckets_[endpointKey(sender)];
    if (bucket.wait(limits_.voiceLimit, limits_.voiceLimit, now) >
        std::chrono::steady_clock::duration::zero()) {
      return;
    }
    bucket.take(limits_.voiceLimit, limits_.voiceLimit, now);
  }
  // Sent from the receive buffer with one byte changed, with the others of its readiness.
  datagram[0] = kVoiceForwarded;
  voiceSocket_.sendReceived(datagram.data(), recipient->voiceDestination());
}

UserSession* VoiceServer::voiceSender(const sockaddr_in& sender) const {
  auto it = voiceEndpoints_.find(endpointKey(sender));
  if (it == voiceEndpoints_.end()) return nullptr;
  UserSession* user = it->second;
  return user->loggedIn() && user->voiceConfirmed() ? user : nullptr;
}

void VoiceServer::forgetVoiceEndpoint(const UserSession* user) {
  auto it = voiceEndpoints_.find(endpointKey(user->voiceDestination()));
  if (it != voiceEndpoints_.end() && it->second == user) voiceEndpoints_.erase(it);
}

void VoiceServer::rememberVoiceEndpoint(UserSession* user) {
  voiceEndpoints_[endpointKey(user->voiceDestination())] = user;
}

void VoiceServer::sendDatagram(const std::uint8_t* bytes, const UserSession* user) {
  voiceSocket_.sendOwn(bytes, user->voiceDestination());
}

bool VoiceServer::needsForwarding(std::uint32_t a, std::uint32_t b) {
  const std::uint32_t loopback = 0x7F000001u;
  if ((b & loopback) == loopback) return true;
  return looksPrivate(b) && !looksPrivate(a);
}

bool VoiceServer::forwardBetween(std::uint32_t a, std::uint32_t b) {
  return a != 0 && b != 0 && (needsForwarding(a, b) || needsForwarding(b, a));
}

}  // namespace quorvane
