#include "protocol/Notifications.h"

#include "protocol/MessageSyntax.h"
#include "protocol/TextMessage.h"

namespace quorvane {

namespace {

// "addchannel" and "updatechannel" carry the same fields.
std::string channelLine(const char* word, const ChannelFields& channel) {
  static const std::set<int> kNone;
  std::string line = word;
  appendStringParam(line, "channel", channel.path);
  appendBoolParam(line, "protected", channel.isProtected);
  appendStringParam(line, "topic", channel.topic);
  appendListParam(line, "operators", channel.operators != nullptr ? *channel.operators : kNone);
  return line;
}

// The fields every line about one user starts with.
std::string identityLine(const char* word, const UserFields& user) {
  std::string line = word;
  appendIntParam(line, "id", user.id);
  appendStringParam(line, "nick", user.nick);
  appendStringParam(line, "address", user.address);
  appendIntParam(line, "soundport", user.soundPort);
  return line;
}

// The fields shared by "adduser" and "updateuser" up to "fpp".
std::string userLine(const char* word, const UserFields& user) {
  std::string line = identityLine(word, user);
  appendStringParam(line, "channel", user.channel);
  appendIntParam(line, "bandmode", user.bandMode);
  appendIntParam(line, "framesize", user.frameSize);
  appendIntParam(line, "encodedframesize", user.encodedFrameSize);
  appendIntParam(line, "fpp", user.framesPerPacket);
  return line;
}

std::string selfLine(const char* word, const UserFields& user) {
  std::string line = identityLine(word, user);
  appendIntParam(line, "bandmode", user.bandMode);
  appendIntParam(line, "framesize", user.frameSize);
  appendIntParam(line, "encodedframesize", user.encodedFrameSize);
  return line;
}

std::string pathLine(const char* word, std::string_view path) {
  std::string line = word;
  appendStringParam(line, "channel", path);
  return line;
}

}  // namespace

std::string welcomeLine(int id, std::string_view serverName, bool forwarding, bool channels,
                        bool operators) {
  std::string line = "welcome";
  appendIntParam(line, "id", id);
  appendStringParam(line, "servername", serverName);
  appendBoolParam(line, "forwarding", forwarding);
  appendBoolParam(line, "channels", channels);
  appendBoolParam(line, "operators", operators);
  appendStringParam(line, "protocol", kProtocolVersion);
  return line;
}

std::string errorLine(ErrorNumber number) {
  std::string line = "error";
  appendIntParam(line, "number", static_cast<int>(number));
  return line;
}

std::string acceptedLine(const UserFields& self) {
  std::string line = selfLine("accepted", self);
  appendIntParam(line, "fpp", self.framesPerPacket);
  return line;
}

std::string youAreLine(const UserFields& self) { return selfLine("youare", self); }

std::string addUserLine(const UserFields& user, bool forward) {
  std::string line = userLine("adduser", user);
  appendBoolParam(line, "forward", forward);
  appendIntParam(line, "statusmode", user.statusMode);
  appendStringParam(line, "statusmessage", user.statusMessage);
  return line;
}

std::string updateUserLine(const UserFields& user) {
  std::string line = userLine("updateuser", user);
  appendIntParam(line, "statusmode", user.statusMode);
  appendStringParam(line, "statusmessage", user.statusMessage);
  return line;
}

std::string removeUserLine(int id, std::string_view channel) {
  std::string line = "removeuser";
  appendIntParam(line, "id", id);
  appendStringParam(line, "channel", channel);
  return line;
}

std::string addChannelLine(const ChannelFields& channel) {
  return channelLine("addchannel", channel);
}

std::string updateChannelLine(const ChannelFields& channel) {
  return channelLine("updatechannel", channel);
}

std::string removeChannelLine(std::string_view path) { return pathLine("removechannel", path); }

std::string joinedLine(std::string_view path) { return pathLine("joined", path); }

std::string pwcLine(std::string_view path) { return pathLine("pwc ", path); }

std::string messageDeliverLine(const TextMessage& message) {
  std::string line = "messagedeliver";
  appendIntParam(line, "type", message.type);
  appendIntParam(line, "from", message.from);
  appendStringParam(line, "message", message.message);
  appendStringParam(line, "channel", message.channel);
  return line;
}

}  // namespace quorvane
