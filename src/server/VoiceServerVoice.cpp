#include <charconv>

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
    datagram[0] = kVoiceForwarded;
    sendDatagram(datagram.data(), recipient);
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

std::uint32_t VoiceServer::addressNumber(std::string_view address) {
  std::uint32_t number = 0;
  for (int part = 0; part < 4; ++part) {
    unsigned value = 0;
    auto [next, error] = std::from_chars(address.data(), address.data() + address.size(), value);
    if (error != std::errc() || value > 255) return 0;
    number = number << 8 | value;
    address.remove_prefix(static_cast<std::size_t>(next - address.data()));
    if (part < 3) {
      if (address.empty() || address.front() != '.') return 0;
      address.remove_prefix(1);
    }
  }
  return address.empty() ? number : 0;
}

bool VoiceServer::forwardBetween(const std::string& addressA, const std::string& addressB) {
  std::uint32_t a = addressNumber(addressA);
  std::uint32_t b = addressNumber(addressB);
  return a != 0 && b != 0 && (needsForwarding(a, b) || needsForwarding(b, a));
}

}  // namespace quorvane
