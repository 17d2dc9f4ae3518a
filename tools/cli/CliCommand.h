// One command as typed or given with --exec: a slash command turned into its protocol line, a
// local listing, the end of the session, or any other line, sent as it stands. A value type.
#pragma once

#include <string>
#include <string_view>

namespace quorvane {

class CliCommand {
 public:
  enum class Kind {
    Send,      // protocolLine() goes to the server
    Kick,      // likewise, naming the session's channel for the operator test
    Who,       // list the members of the session's channel
    Channels,  // list the channel tree
    Quit,      // end the session
    Invalid,   // error() says why
  };

  static CliCommand parse(std::string_view text);

  Kind kind() const { return kind_; }
  const std::string& text() const { return text_; }
  const std::string& error() const { return error_; }
  // The line to send for Send and Kick; `channel` is the session's current channel.
  std::string protocolLine(std::string_view channel) const;
  // True when the line sent is a "ping": its "pong" is the command's own answer.
  bool isPing() const { return ping_; }

 private:
  CliCommand(Kind kind, std::string_view text) : kind_(kind), text_(text) {}
  static CliCommand parseSlash(std::string_view text);
  static CliCommand invalid(std::string_view text, std::string error);

  Kind kind_;
  std::string text_;
  std::string line_;
  std::string error_;
  int kickId_ = 0;
  bool ping_ = false;
};

}  // namespace quorvane
