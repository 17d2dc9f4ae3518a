#include "server/UserSession.h"
#include "server/VoiceServer.h"
#include "transport/ReactorPool.h"

namespace quorvane {

void VoiceServer::onTimer(int id) {
  if (id != kTimerId || !running_) return;
  dropInactiveUsers();
  sendKeepAlives();
  Guard guard(*this);
  tidyLimits();
}

void VoiceServer::dropInactiveUsers() {
  Guard guard(*this);
  const std::time_t current = now();
  std::vector<UserSession*> silent;
  // A clock that went back drops nobody on this pass.
  if (current > lastInactivityCheck_) {
    for (const auto& entry : users_) {
      if (current - entry.second->lastPingTime() > kInactivityLimitSeconds) {
        silent.push_back(entry.second.get());
      }
    }
  }
  lastInactivityCheck_ = current;
  for (UserSession* user : silent) {
    if (logging_) {
      logUserEvent(user, " dropped after " + std::to_string(current - user->lastPingTime()) +
                             " sec for inactivity.");
    }
    user->closeConnection();
    disconnectUser(user);
  }
}

void VoiceServer::sendKeepAlives() {
  Guard guard(*this);
  const std::uint8_t keepAlive[kDatagramSize] = {kVoiceKeepAlive, 2, 0, 0};
  std::vector<sockaddr_in> destinations;
  for (const auto& entry : users_) {
    const UserSession* user = entry.second.get();
    if (user->voiceConfirmed() && user->loggedIn()) {
      destinations.push_back(user->voiceDestination());
    }
  }
  voiceSocket_.sendToEach(keepAlive, destinations);
}

}  // namespace quorvane
