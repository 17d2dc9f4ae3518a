// The replies and notifications that a UserSession queues for its client.
#include "protocol/MessageSyntax.h"
#include "protocol/TextMessage.h"
#include "server/Channel.h"
#include "server/UserSession.h"
#include "server/VoiceServer.h"

namespace quorvane {

namespace {

std::string channelPath(const UserRecord* user) {
  return user->channel() != nullptr ? user->channel()->path() : std::string();
}

// "addchannel" and "updatechannel" carry the same fields.
std::string channelLine(const char* word, const Channel* channel) {
  std::string line = word;
  appendStringParam(line, "channel", channel->path());
  appendBoolParam(line, "protected", channel->isProtected());
  appendStringParam(line, "topic", channel->topic());
  appendListParam(line, "operators", channel->operators());
  return line;
}

// The fields shared by "adduser" and "updateuser" up to "fpp".
std::string userLine(const char* word, const UserRecord* user) {
  std::string line = word;
  appendIntParam(line, "id", user->id());
  appendStringParam(line, "nick", user->nick());
  appendStringParam(line, "address", user->voiceAddress());
  appendIntParam(line, "soundport", user->soundPort());
  appendStringParam(line, "channel", channelPath(user));
  appendIntParam(line, "bandmode", user->bandMode());
  appendIntParam(line, "framesize", user->frameSize());
  appendIntParam(line, "encodedframesize", user->encodedFrameSize());
  appendIntParam(line, "fpp", user->framesPerPacket());
  return line;
}

// "adduser" in full.
std::string addUserText(const UserRecord* user, bool forward) {
  std::string line = userLine("adduser", user);
  appendBoolParam(line, "forward", forward);
  appendIntParam(line, "statusmode", user->statusMode());
  appendStringParam(line, "statusmessage", user->statusMessage());
  return line;
}

// The cached line, or a new one built and kept for the next caller while anyone holds it.
template <class Build>
std::shared_ptr<const std::string> cachedLine(std::weak_ptr<const std::string>& cache,
                                              const Build& build) {
  std::shared_ptr<const std::string> line = cache.lock();
  if (!line) {
    line = std::make_shared<const std::string>(build() + "\r\n");
    cache = line;
  }
  return line;
}

// "accepted" and "youare" describe the client to itself; only "accepted" carries "fpp".
std::string selfLine(const char* word, const UserRecord* user) {
  std::string line = word;
  appendIntParam(line, "id", user->id());
  appendStringParam(line, "nick", user->nick());
  appendStringParam(line, "address", user->voiceAddress());
  appendIntParam(line, "soundport", user->soundPort());
  appendIntParam(line, "bandmode", user->bandMode());
  appendIntParam(line, "framesize", user->frameSize());
  appendIntParam(line, "encodedframesize", user->encodedFrameSize());
  return line;
}

}  // namespace

void UserSession::send(std::string line) {
  if (!connection_) return;
  line += "\r\n";
  connection_->queueText(std::move(line));
}

template <class Build>
void UserSession::sendShared(std::string* shared, const Build& build) {
  if (shared == nullptr) return send(build());
  if (shared->empty()) {
    *shared = build();
    *shared += "\r\n";
  }
  if (connection_) connection_->queueText(*shared);
}

void UserSession::sendError(int number) {
  std::string line = "error";
  appendIntParam(line, "number", number);
  send(std::move(line));
}

void UserSession::sendWelcome(const std::string& serverName, bool allowForwarding,
                              bool allowChannelCreation, bool allowOperators) {
  std::string line = "welcome";
  appendIntParam(line, "id", id());
  appendStringParam(line, "servername", serverName);
  appendBoolParam(line, "forwarding", allowForwarding);
  appendBoolParam(line, "channels", allowChannelCreation);
  appendBoolParam(line, "operators", allowOperators);
  appendStringParam(line, "protocol", VoiceServer::kProtocolVersion);
  send(std::move(line));
}

void UserSession::sendAccepted() {
  std::string line = selfLine("accepted", this);
  appendIntParam(line, "fpp", framesPerPacket());
  send(std::move(line));
}

void UserSession::sendYouAre() { send(selfLine("youare", this)); }

void UserSession::sendPong() { send("pong"); }

void UserSession::sendQuit() { send("quit"); }

void UserSession::sendKicked() { send("kicked"); }

void UserSession::sendAddChannel(const Channel* channel, std::string* shared) {
  if (!loggedIn_ || channel == nullptr) return;
  sendShared(shared, [&] { return channelLine("addchannel", channel); });
}

void UserSession::sendUpdateChannel(const Channel* channel, std::string* shared) {
  if (!loggedIn_ || channel == nullptr) return;
  sendShared(shared, [&] { return channelLine("updatechannel", channel); });
}

void UserSession::sendRemoveChannel(const Channel* channel, std::string* shared) {
  if (!loggedIn_ || channel == nullptr) return;
  sendShared(shared, [&] {
    std::string line = "removechannel";
    appendStringParam(line, "channel", channel->path());
    return line;
  });
}

void UserSession::sendJoined(const Channel* channel) {
  if (!loggedIn_ || channel == nullptr) return;
  std::string line = "joined";
  appendStringParam(line, "channel", channel->path());
  send(std::move(line));
}

void UserSession::sendAddUser(const UserSession* user, std::array<std::string, 2>* shared) {
  if (!loggedIn_ || user == nullptr) return;
  const bool forward =
      VoiceServer::forwardBetween(voiceAddressNumber(), user->voiceAddressNumber());
  sendShared(shared != nullptr ? &(*shared)[forward] : nullptr,
             [&] { return addUserText(user, forward); });
}

std::shared_ptr<const std::string> UserSession::addUserLine(const UserSession* user) const {
  const bool forward =
      VoiceServer::forwardBetween(voiceAddressNumber(), user->voiceAddressNumber());
  return cachedLine(user->addUserLineCache(forward), [&] { return addUserText(user, forward); });
}

std::shared_ptr<const std::string> UserSession::addChannelLine(const Channel* channel) const {
  return cachedLine(channel->listLineCache(), [&] { return channelLine("addchannel", channel); });
}

void UserSession::sendList(std::vector<std::shared_ptr<const std::string>> lines) {
  if (loggedIn_ && connection_) connection_->queueList(std::move(lines));
}

void UserSession::sendUpdateUser(const UserSession* user, std::string* shared) {
  if (!loggedIn_ || user == nullptr) return;
  sendShared(shared, [&] {
    std::string line = userLine("updateuser", user);
    appendIntParam(line, "statusmode", user->statusMode());
    appendStringParam(line, "statusmessage", user->statusMessage());
    return line;
  });
}

void UserSession::sendRemoveUser(const UserSession* user, std::string* shared) {
  if (!loggedIn_ || user == nullptr || user->channel() == nullptr) return;
  sendShared(shared, [&] {
    std::string line = "removeuser";
    appendIntParam(line, "id", user->id());
    appendStringParam(line, "channel", user->channel()->path());
    return line;
  });
}

void UserSession::sendPwc() {
  if (!loggedIn_) return;
  // Two blanks after the word: the parameter brings its own.
  std::string line = "pwc ";
  appendStringParam(line, "channel", channelPath(this));
  send(std::move(line));
}

void UserSession::sendMessageDeliver(const TextMessage& message, std::string* shared) {
  if (!loggedIn_ || channel() == nullptr) return;
  // Older clients receive only messages to them personally.
  if (message.type != TextMessage::ToUser && !versionAtLeast21(protocolVersion_)) return;
  sendShared(shared, [&] {
    std::string line = "messagedeliver";
    appendIntParam(line, "type", message.type);
    appendIntParam(line, "from", message.from);
    appendStringParam(line, "message", message.message);
    appendStringParam(line, "channel", message.channel);
    return line;
  });
}

}  // namespace quorvane
