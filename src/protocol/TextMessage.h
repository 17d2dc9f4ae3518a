// One text message on its way from the "message" command to its recipients.
#pragma once

#include <string>
#include <string_view>

namespace quorvane {

struct TextMessage {
  enum Type { ToUser = 1, ToChannel = 2 };

  int type = ToUser;
  int from = 0;
  int to = 0;
  std::string message;
  std::string channel;
};

// True for a protocol version of 2.1 or later: such clients address channels and receive
// channel messages; older ones only send and receive messages to one user.
bool versionAtLeast21(std::string_view version);

}  // namespace quorvane
