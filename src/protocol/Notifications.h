// The text of every reply and notification the server sends, built from plain values. Each
// function returns one line without its terminator (kLineEnd); the order of the fields and their
// forms are the protocol's.
#pragma once

#include <set>
#include <string>
#include <string_view>

#include "protocol/ErrorNumber.h"

namespace quorvane {

struct TextMessage;

inline constexpr std::string_view kLineEnd = "\r\n";
// The protocol version the server announces in "welcome", whatever the client speaks.
inline constexpr const char* kProtocolVersion = "2.1";

// What clients are told about a user.
struct UserFields {
  int id = 0;
  std::string_view nick;
  std::string_view address;  // voice address, empty before the first hello
  int soundPort = -1;
  std::string_view channel;  // path, empty when in none
  int bandMode = -1;
  int frameSize = -1;
  int encodedFrameSize = -1;
  int framesPerPacket = -1;
  int statusMode = 0;
  std::string_view statusMessage;
};

// What clients are told about a channel.
struct ChannelFields {
  std::string_view path;
  bool isProtected = false;
  std::string_view topic;
  const std::set<int>* operators = nullptr;
};

std::string welcomeLine(int id, std::string_view serverName, bool forwarding, bool channels,
                        bool operators);
std::string errorLine(ErrorNumber number);
// "accepted" and "youare" describe the client to itself; only "accepted" carries "fpp".
std::string acceptedLine(const UserFields& self);
std::string youAreLine(const UserFields& self);
std::string addUserLine(const UserFields& user, bool forward);
std::string updateUserLine(const UserFields& user);
std::string removeUserLine(int id, std::string_view channel);
std::string addChannelLine(const ChannelFields& channel);
std::string updateChannelLine(const ChannelFields& channel);
std::string removeChannelLine(std::string_view path);
std::string joinedLine(std::string_view path);
// Two blanks after the word: the parameter brings its own.
std::string pwcLine(std::string_view path);
std::string messageDeliverLine(const TextMessage& message);
inline constexpr std::string_view kPongLine = "pong";
inline constexpr std::string_view kQuitLine = "quit";
inline constexpr std::string_view kKickedLine = "kicked";

}  // namespace quorvane
