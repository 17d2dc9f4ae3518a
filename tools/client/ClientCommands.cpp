#include "client/ClientCommands.h"

#include "protocol/MessageSyntax.h"

namespace quorvane {

std::string protocolLine(std::string_view version) {
  std::string line = "protocol";
  appendStringParam(line, "version", version);
  return line;
}

std::string connectLine(const LoginDetails& details) {
  std::string line = "connect";
  appendStringParam(line, "nick", details.nick);
  appendStringParam(line, "password", details.password);
  appendIntParam(line, "bandmode", details.bandMode);
  appendIntParam(line, "framesize", details.frameSize);
  appendIntParam(line, "encodedframesize", details.encodedFrameSize);
  appendIntParam(line, "fpp", details.framesPerPacket);
  return line;
}

std::string joinLine(std::string_view path, std::string_view password, std::string_view topic) {
  std::string line = "join";
  appendStringParam(line, "channel", path);
  appendStringParam(line, "password", password);
  appendStringParam(line, "topic", topic);
  return line;
}

std::string messageToUserLine(int to, std::string_view text, std::string_view channel) {
  std::string line = "message";
  appendIntParam(line, "to", to);
  appendStringParam(line, "message", text);
  appendIntParam(line, "type", 1);
  appendStringParam(line, "channel", channel);
  return line;
}

std::string messageToChannelLine(std::string_view path, std::string_view text) {
  std::string line = "message";
  appendStringParam(line, "message", text);
  appendIntParam(line, "type", 2);
  appendStringParam(line, "channel", path);
  return line;
}

std::string changeNickLine(std::string_view nick) {
  std::string line = "changenick";
  appendStringParam(line, "nick", nick);
  return line;
}

std::string changeStatusLine(int mode, std::string_view message) {
  std::string line = "changestatus";
  appendIntParam(line, "statusmode", mode);
  appendStringParam(line, "statusmessage", message);
  return line;
}

std::string kickLine(int id, std::string_view path) {
  std::string line = "kick";
  appendIntParam(line, "id", id);
  appendStringParam(line, "channel", path);
  return line;
}

std::string adminLine(std::string_view username, std::string_view password) {
  std::string line = "admin";
  appendStringParam(line, "username", username);
  appendStringParam(line, "password", password);
  return line;
}

}  // namespace quorvane
