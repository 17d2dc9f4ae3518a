#include <deque>

#include "server/UserSession.h"
#include "server/VoiceServer.h"
#include "transport/ClientConnection.h"
#include "transport/ReactorPool.h"

namespace quorvane {

int VoiceServer::allocateUserId() {
  pool_.assertLocked();
  bool wrapped = false;
  for (;;) {
    int candidate = ++lastUserId_;
    if (candidate <= kMaxUserId) {
      if (users_.count(candidate) == 0) return candidate;
      continue;
    }
    if (wrapped) {
      lastUserId_ = 0;
      return 0;
    }
    // The search after a wrap starts at 2.
    lastUserId_ = 1;
    wrapped = true;
  }
}

void VoiceServer::login(UserSession* user) {
  if (user == nullptr) return;
  pool_.assertLocked();
  if (user->password() != serverPassword_) {
    user->sendError(ErrorNumber::WrongServerPassword);
    // Where the connection comes from, not the voice endpoint, which its owner may choose.
    if (logging_) {
      logUserEvent(user, " address: " + user->peerAddress() + " port: " +
                             std::to_string(user->peerPort()) + " wrong server password.");
    }
    if (limits_.loginAttempts != 0 && user->addWrongPassword() >= limits_.loginAttempts) {
      countFailure(user);
      closeAndRemove(user);
    }
    return;
  }
  user->sendAccepted();
  user->setLoggedIn(true);
  bump(metrics_.usersLoggedIn);
  if (AddressRecord* address = user->address()) --address->pending;
  if (ClientConnection* connection = user->connection()) {
    connection->setDeadline(std::chrono::steady_clock::time_point::max());
  }
  // The channel list and the root's members, as they are now, sent as the client reads them: a
  // list of any length arrives whole without filling the server's memory.
  std::vector<std::shared_ptr<const std::string>> list;
  std::deque<const Channel*> queue{&rootChannel_};
  while (!queue.empty()) {
    const Channel* channel = queue.front();
    queue.pop_front();
    list.push_back(user->sharedAddChannelLine(channel));
    for (const auto& child : channel->children()) queue.push_back(child.get());
  }
  rootChannel_.addUser(user, &list);
  user->sendList(std::move(list));
  directory_.setLoggedIn(user->id(), true);
  directory_.setChannel(user->id(), &rootChannel_);
  if (isLocalUser(user)) {
    rootChannel_.addOperator(user->id());
    broadcastChannelUpdate(&rootChannel_);
  }
  if (logging_) {
    logUserEvent(user, " address: " + user->voiceAddress() +
                           " port: " + std::to_string(user->soundPort()) + " connected.");
  }
}

void VoiceServer::disconnectUser(UserSession* user) {
  if (user == nullptr) return;
  pool_.assertLocked();
  if (logging_) logUserEvent(user, " disconnected.");
  auto entry = users_.find(user->id());
  if (entry == users_.end() || entry->second.get() != user) return;

  Channel* left = user->channel();
  if (left != nullptr) left->removeUser(user);
  const bool wasLoggedIn = user->loggedIn();
  user->setLoggedIn(false);
  if (left != nullptr) pruneChannels(left);

  // The user's own handler may still be running (it quit, or its connection was lost): the
  // session is destroyed once that call has returned.
  directory_.removeUser(user->id());
  if (AddressRecord* address = user->address()) {
    --address->connections;
    if (!wasLoggedIn) --address->pending;
    address->lastClosed = now();
  }
  UserSession* removed = entry->second.release();
  users_.erase(entry);
  metrics_.usersConnected.store(users_.size(), std::memory_order_relaxed);
  if (wasLoggedIn) metrics_.usersLoggedIn.fetch_sub(1, std::memory_order_relaxed);
  pool_.releaseAfterSection([removed] { delete removed; });
}

void VoiceServer::userUpdated(UserSession* user) {
  if (user == nullptr) return;
  pool_.assertLocked();
  if (user->channel() != nullptr) user->channel()->notifyUserUpdated(user);
}

void VoiceServer::adminLogin(UserSession* user, const std::string&, const std::string&) {
  // The administrator's credentials are accepted and grant nothing.
  if (user == nullptr) return;
}

// Locality comes from the connection: a datagram alone can never make a user local.
bool VoiceServer::isLocalUser(const UserSession* user) const {
  if (user == nullptr) return false;
  return user->peerAddress() == kLocalAddress && user->voiceAddress() == kLocalAddress;
}

}  // namespace quorvane
