// Turns the server's lines and the client's local listings into readable text: "[HH:MM] " in
// local time, then one sentence per line. Stateless; reads the session it is given.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "cli/CliSession.h"
#include "client/ServerLine.h"

namespace quorvane {

class LineFormatter {
 public:
  // The line as a sentence, read against the session as it was before the line arrived.
  static std::string format(const ServerLine& line, const CliSession& session);
  // The short meaning of an error number; empty for a number the server does not send.
  static std::string_view errorMeaning(int number);
  // "error N: meaning", or "error N" for a number without one.
  static std::string errorText(int number);
  // "/who": a heading, then one line per member, this client included.
  static std::vector<std::string> members(const CliSession& session);
  // "/channels": a heading, then one line per channel, parents before their sub-channels.
  static std::vector<std::string> channels(const CliSession& session);
  // "[HH:MM] " for the given time, in local time.
  static std::string timePrefix(std::time_t when);
  // Control characters shown as escapes (\r, \n, \t, \xHH), so that no received text can move
  // the cursor or send commands to the terminal. Other bytes pass unchanged.
  static std::string printable(std::string_view text);
};

}  // namespace quorvane
