#include "protocol/TextMessage.h"
#include "server/UserSession.h"
#include "server/VoiceServer.h"

namespace quorvane {

void VoiceServer::joinChannel(UserSession* user, const std::string& path,
                              const std::string& password, const std::string& topic) {
  if (user == nullptr) return;
  pool_.assertLocked();
  const std::vector<std::string> names = splitChannelPath(path);
  Channel* current = &rootChannel_;
  bool failed = false;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (Channel* next = current->findChild(names[i])) {
      current = next;
      continue;
    }
    failed = true;
    if (i + 1 < names.size()) {
      user->sendError(ErrorNumber::NoSuchChannel);
      break;
    }
    if (!allowChannelCreation_ || !mayCreate(names[i], names.size(), topic)) {
      user->sendError(ErrorNumber::ChannelNotCreated);
      break;
    }
    current = current->addChild(std::make_unique<Channel>(names[i]));
    ++channelCount_;
    metrics_.channels.store(channelCount_, std::memory_order_relaxed);
    if (!password.empty()) current->setPassword(password);
    current->setTopic(topic);
    if (allowOperators_) current->addOperator(user->id());
    sendAddChannelToAll(current);
    failed = false;
  }

  if (!failed && password != current->password() && !isLocalUser(user)) {
    user->sendError(ErrorNumber::WrongChannelPassword);
    failed = true;
  }
  if (!failed) {
    Channel* old = user->channel();
    if (old != nullptr) old->removeUser(user);
    user->sendJoined(current);
    current->addUser(user);
    directory_.setChannel(user->id(), current);
    if (isLocalUser(user) && !current->isOperator(user->id())) {
      current->addOperator(user->id());
      broadcastChannelUpdate(current);
    }
    if (old != nullptr) pruneChannels(old);
  }
  // A refused join is logged at most once a minute for each address.
  if (logging_ && (!failed || user->address() == nullptr ||
                   logRefusal(*user->address(), AddressRecord::RefusedJoin, user->peerAddress()))) {
    std::string now = user->channel() != nullptr ? user->channel()->path() : std::string();
    logUserEvent(user, " changed to channel: \"" + now + "\"");
  }
}

bool VoiceServer::mayCreate(const std::string& name, std::size_t depth,
                            const std::string& topic) const {
  const ServerLimits& l = limits_;
  const auto within = [](std::size_t size, unsigned limit) { return limit == 0 || size <= limit; };
  return within(channelCount_ + 1, l.maxChannels) && within(name.size(), l.maxChannelName) &&
         within(depth, l.maxChannelDepth) && within(topic.size(), l.maxTopic);
}

void VoiceServer::kickUser(UserSession* kicker, const std::string& path, int targetId) {
  if (kicker == nullptr) return;
  pool_.assertLocked();
  Channel* channel = findChannel(rootChannel_, path);
  if (channel == nullptr) {
    kicker->sendError(ErrorNumber::NoSuchChannel);
    return;
  }
  if (!channel->isOperator(kicker->id()) && !kicker->admin()) {
    kicker->sendError(ErrorNumber::NotOperator);
    return;
  }
  UserSession* target = findUser(targetId);
  if (target == nullptr || target->channel() == nullptr ||
      !target->channel()->samePath(kicker->channel())) {
    kicker->sendError(ErrorNumber::NoSuchUser);
    return;
  }
  target->sendKicked();
  target->closeConnection();
  disconnectUser(target);
}

void VoiceServer::deliverMessage(UserSession* sender, const TextMessage& message) {
  if (sender == nullptr) return;
  pool_.assertLocked();
  if (message.type == TextMessage::ToUser) {
    if (UserSession* recipient = findUser(message.to)) recipient->sendMessageDeliver(message);
  } else if (message.type == TextMessage::ToChannel) {
    if (Channel* channel = findChannel(rootChannel_, message.channel)) {
      channel->deliverToMembers(message);
    }
  }
}

void VoiceServer::broadcastChannelUpdate(const Channel* channel) {
  pool_.assertLocked();
  SharedLine line;
  for (const auto& entry : users_) entry.second->sendUpdateChannel(channel, &line);
}

void VoiceServer::sendAddChannelToAll(const Channel* channel) {
  SharedLine line;
  for (const auto& entry : users_) entry.second->sendAddChannel(channel, &line);
}

void VoiceServer::pruneChannels(Channel* channel) {
  Channel* current = channel;
  while (current != nullptr && current != &rootChannel_) {
    if (current->userCount() != 0 || current->childCount() != 0 || current->isStatic()) return;
    SharedLine line;
    for (const auto& entry : users_) entry.second->sendRemoveChannel(current, &line);
    Channel* parent = current->parent();
    parent->removeChild(current);
    --channelCount_;
    metrics_.channels.store(channelCount_, std::memory_order_relaxed);
    current = parent;
  }
}

}  // namespace quorvane
