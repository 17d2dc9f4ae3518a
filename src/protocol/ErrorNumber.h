// The numbers of the "error" reply, each named after what failed. A command answers only its
// first failure.
#pragma once

namespace quorvane {

enum class ErrorNumber : int {
  MissingId = 100,             // "kick": "id" absent or not an integer
  MissingNick = 101,           // "connect", "changenick"
  MissingPassword = 102,       // "connect", "admin"
  MissingAudioFormat = 103,    // "connect": "bandmode", "framesize" or "encodedframesize"
  MissingVersion = 104,        // "protocol"
  MissingChannel = 105,        // "join" (channel, password or topic), "kick", "message"
  MissingStatusMode = 106,     // "changestatus"
  MissingText = 108,           // "changestatus" (status text), "message"
  MissingRecipient = 110,      // "message" from a client older than 2.1
  MissingFramesPerPacket = 111,  // "connect"
  MissingType = 112,           // "message" from a client of 2.1 or later
  MissingUsername = 113,       // "admin"
  UnknownCommand = 204,
  NoSuchUser = 206,            // "kick": no such user, or not in the kicker's channel
  WrongServerPassword = 300,
  WrongChannelPassword = 301,
  NoSuchChannel = 302,
  NotOperator = 303,
  ChannelNotCreated = 304,     // creation off, or beyond the limits of the tree
  AlreadyLoggedIn = 400,
  NoProtocolVersion = 401,
  NotLoggedIn = 402,
  VoiceNotConfirmed = 403,
};

}  // namespace quorvane
