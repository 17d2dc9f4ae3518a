// Timer 1: the inactivity pass, the keep-alives and the housekeeping of the limits.
#include "server/UserSession.h"
#include "server/VoiceServer.h"

namespace quorvane {

void VoiceServer::onTimer(int id) {
  if (id != kTimerId) return;
  Guard guard(*this);
  if (!running_) return;
  dropInactiveUsers();
  sendKeepAlives();
  tidyLimits();
}

void VoiceServer::dropInactiveUsers() {
  pool_.assertLocked();
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
    bump(metrics_.dropped[ServerMetrics::Inactivity]);
    closeAndRemove(user);
  }
}

}  // namespace quorvane
