// The command lines a client sends, built with the server's own parameter writers so that every
// string value is escaped as the server reads it. Each returns the line without its CR LF.
#pragma once

#include <string>
#include <string_view>

namespace quorvane {

// What "connect" announces about the client.
struct LoginDetails {
  std::string nick;
  std::string password;
  int bandMode = 1;
  int frameSize = 320;
  int encodedFrameSize = 20;
  int framesPerPacket = 2;
};

std::string protocolLine(std::string_view version);
std::string connectLine(const LoginDetails& details);
std::string joinLine(std::string_view path, std::string_view password, std::string_view topic);
// Type 1: to one user. `channel` may be empty (the server then uses the sender's channel).
std::string messageToUserLine(int to, std::string_view text, std::string_view channel = {});
// Type 2: to every member of the channel at `path`.
std::string messageToChannelLine(std::string_view path, std::string_view text);
std::string changeNickLine(std::string_view nick);
std::string changeStatusLine(int mode, std::string_view message);
std::string kickLine(int id, std::string_view path);
std::string adminLine(std::string_view username, std::string_view password);

// Commands without parameters.
inline constexpr std::string_view kPingLine = "ping";
inline constexpr std::string_view kPwcLine = "pwc";
inline constexpr std::string_view kWhoamiLine = "whoami";
inline constexpr std::string_view kQuitLine = "quit";

}  // namespace quorvane
