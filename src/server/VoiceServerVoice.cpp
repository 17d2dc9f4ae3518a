// The control side of voice: hellos that counted on the voice thread, keep-alives, and the
// "forward" decision of "adduser".
#include "protocol/VoiceDatagram.h"
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

void VoiceServer::queueHello(const VoiceRelay::Hello& hello) {
  bool first = false;
  {
    std::lock_guard<std::mutex> guard(helloLock_);
    first = hellos_.empty();
    hellos_.push_back(hello);
  }
  // One task takes every hello queued until it runs.
  if (first) pool_.post(this, [this] { applyQueuedHellos(); });
}

void VoiceServer::applyQueuedHellos() {
  std::vector<VoiceRelay::Hello> hellos;
  {
    std::lock_guard<std::mutex> guard(helloLock_);
    hellos.swap(hellos_);
  }
  for (const VoiceRelay::Hello& hello : hellos) applyHello(hello);
}

void VoiceServer::applyHello(const VoiceRelay::Hello& hello) {
  pool_.assertLocked();
  UserSession* user = findUser(hello.id);
  if (user == nullptr) return;
  // The id may have gone to another connection since the voice thread looked.
  if (voiceAddressCheck_ && UserRecord::addressNumber(user->peerAddress()) != hello.from.address) {
    return;
  }
  user->setVoiceAddress(hello.from.addressText());
  user->setSoundPort(hello.from.port);
  directory_.setEndpoint(hello.id, hello.from);
  if (!user->voiceConfirmed() && hello.confirms) user->setVoiceConfirmed(true);
  std::uint8_t reply[kDatagramSize];
  makeHelloReply(reply, hello.id);
  const DatagramSocket::Outgoing outgoing{reply, kDatagramSize, hello.from};
  voiceSocket_.send(&outgoing, 1);
}

void VoiceServer::sendKeepAlives() {
  pool_.assertLocked();
  std::uint8_t keepAlive[kDatagramSize];
  makeKeepAlive(keepAlive);
  std::vector<DatagramSocket::Outgoing> outgoing;
  for (const auto& entry : users_) {
    const UserSession* user = entry.second.get();
    if (user->voiceConfirmed() && user->loggedIn()) {
      outgoing.push_back({keepAlive, kDatagramSize,
                          Endpoint::of(user->voiceAddress(), user->soundPort())});
    }
  }
  voiceSocket_.send(outgoing.data(), static_cast<int>(outgoing.size()));
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
