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

}  // namespace

void VoiceServer::onVoiceHello(Datagram datagram, const std::string& address, int port) {
  Guard guard(*this);
  UserSession* user = findUser(datagram[2] + 256 * datagram[3]);
  if (user == nullptr) return;
  user->setVoiceAddress(address);
  user->setSoundPort(port);
  if (!user->voiceConfirmed() && datagram[1] <= 2) user->setVoiceConfirmed(true);
  std::uint8_t reply[kDatagramSize] = {kVoiceHelloReply, 2, datagram[2], datagram[3]};
  sendDatagram(reply, user);
}

void VoiceServer::onVoiceForward(Datagram datagram) {
  if (!running_) return;
  Guard guard(*this);
  UserSession* recipient = findUser(datagram[4]);
  if (recipient != nullptr && allowForwarding_) {
    // Sent from the receive buffer with one byte changed, with the others of its readiness.
    datagram[0] = kVoiceForwarded;
    voiceSocket_.sendReceived(datagram.data(), recipient->voiceDestination());
  }
}

void VoiceServer::sendDatagram(const std::uint8_t* bytes, const UserSession* user) {
  voiceSocket_.sendTo(bytes, kDatagramSize, user->voiceDestination());
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
