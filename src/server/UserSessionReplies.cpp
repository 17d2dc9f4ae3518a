// The replies and notifications that a UserSession queues for its client: the protocol's text,
// filled from the records.
#include "protocol/Notifications.h"
#include "protocol/TextMessage.h"
#include "server/Channel.h"
#include "server/UserSession.h"
#include "server/VoiceServer.h"

namespace quorvane {

namespace {

std::string channelPath(const UserRecord* user) {
  return user->channel() != nullptr ? user->channel()->path() : std::string();
}

// The fields of a user; `path` (its channel's) must outlive them.
UserFields fieldsOf(const UserRecord* user, const std::string& path) {
  UserFields fields;
  fields.id = user->id();
  fields.nick = user->nick();
  fields.address = user->voiceAddress();
  fields.soundPort = user->soundPort();
  fields.channel = path;
  fields.bandMode = user->bandMode();
  fields.frameSize = user->frameSize();
  fields.encodedFrameSize = user->encodedFrameSize();
  fields.framesPerPacket = user->framesPerPacket();
  fields.statusMode = user->statusMode();
  fields.statusMessage = user->statusMessage();
  return fields;
}

// The fields of a channel; `path` must outlive them.
ChannelFields fieldsOf(const Channel* channel, const std::string& path) {
  return ChannelFields{path, channel->isProtected(), channel->topic(), &channel->operators()};
}

std::string addUserText(const UserRecord* user, bool forward) {
  const std::string path = channelPath(user);
  return addUserLine(fieldsOf(user, path), forward);
}

std::string addChannelText(const Channel* channel) {
  const std::string path = channel->path();
  return addChannelLine(fieldsOf(channel, path));
}

// The cached line, or a new one built and kept for the next caller while anyone holds it.
template <class Build>
SharedLine cachedLine(std::weak_ptr<const std::string>& cache, const Build& build) {
  SharedLine line = cache.lock();
  if (!line) {
    line = std::make_shared<const std::string>(build() + std::string(kLineEnd));
    cache = line;
  }
  return line;
}

}  // namespace

void UserSession::send(std::string line) {
  if (!connection_) return;
  line += kLineEnd;
  connection_->queueText(std::move(line));
}

template <class Build>
void UserSession::sendShared(SharedLine* shared, const Build& build) {
  if (shared == nullptr) return send(build());
  if (!*shared) *shared = std::make_shared<const std::string>(build() + std::string(kLineEnd));
  if (connection_) connection_->queueShared(*shared);
}

void UserSession::sendError(ErrorNumber number) { send(errorLine(number)); }

void UserSession::sendWelcome(const std::string& serverName, bool allowForwarding,
                              bool allowChannelCreation, bool allowOperators) {
  send(welcomeLine(id(), serverName, allowForwarding, allowChannelCreation, allowOperators));
}

void UserSession::sendAccepted() { send(acceptedLine(fieldsOf(this, std::string()))); }

void UserSession::sendYouAre() { send(youAreLine(fieldsOf(this, std::string()))); }

void UserSession::sendPong() { send(std::string(kPongLine)); }

void UserSession::sendQuit() { send(std::string(kQuitLine)); }

void UserSession::sendKicked() { send(std::string(kKickedLine)); }

void UserSession::sendAddChannel(const Channel* channel, SharedLine* shared) {
  if (!loggedIn_ || channel == nullptr) return;
  sendShared(shared, [&] { return addChannelText(channel); });
}

void UserSession::sendUpdateChannel(const Channel* channel, SharedLine* shared) {
  if (!loggedIn_ || channel == nullptr) return;
  sendShared(shared, [&] {
    const std::string path = channel->path();
    return updateChannelLine(fieldsOf(channel, path));
  });
}

void UserSession::sendRemoveChannel(const Channel* channel, SharedLine* shared) {
  if (!loggedIn_ || channel == nullptr) return;
  sendShared(shared, [&] { return removeChannelLine(channel->path()); });
}

void UserSession::sendJoined(const Channel* channel) {
  if (!loggedIn_ || channel == nullptr) return;
  send(joinedLine(channel->path()));
}

void UserSession::sendAddUser(const UserSession* user, std::array<SharedLine, 2>* shared) {
  if (!loggedIn_ || user == nullptr) return;
  const bool forward =
      VoiceServer::forwardBetween(voiceAddressNumber(), user->voiceAddressNumber());
  sendShared(shared != nullptr ? &(*shared)[forward] : nullptr,
             [&] { return addUserText(user, forward); });
}

std::shared_ptr<const std::string> UserSession::sharedAddUserLine(const UserSession* user) const {
  const bool forward =
      VoiceServer::forwardBetween(voiceAddressNumber(), user->voiceAddressNumber());
  return cachedLine(user->addUserLineCache(forward), [&] { return addUserText(user, forward); });
}

std::shared_ptr<const std::string> UserSession::sharedAddChannelLine(const Channel* channel) const {
  return cachedLine(channel->listLineCache(), [&] { return addChannelText(channel); });
}

void UserSession::sendList(std::vector<std::shared_ptr<const std::string>> lines) {
  if (loggedIn_ && connection_) connection_->queueList(std::move(lines));
}

void UserSession::sendUpdateUser(const UserSession* user, SharedLine* shared) {
  if (!loggedIn_ || user == nullptr) return;
  sendShared(shared, [&] {
    const std::string path = channelPath(user);
    return updateUserLine(fieldsOf(user, path));
  });
}

void UserSession::sendRemoveUser(const UserSession* user, SharedLine* shared) {
  if (!loggedIn_ || user == nullptr || user->channel() == nullptr) return;
  sendShared(shared, [&] { return removeUserLine(user->id(), user->channel()->path()); });
}

void UserSession::sendPwc() {
  if (!loggedIn_) return;
  send(pwcLine(channelPath(this)));
}

void UserSession::sendMessageDeliver(const TextMessage& message, SharedLine* shared) {
  if (!loggedIn_ || channel() == nullptr) return;
  // Older clients receive only messages to them personally.
  if (message.type != TextMessage::ToUser && !versionAtLeast21(protocolVersion_)) return;
  sendShared(shared, [&] { return messageDeliverLine(message); });
}

}  // namespace quorvane
