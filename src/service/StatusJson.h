// The status document (/status.json): the server's name, protocol version, uptime and channel
// tree as JSON. Texts from clients are bytes of any value: valid UTF-8 passes as it is, every
// other byte is read as Latin-1 and escaped, so the document is always valid UTF-8 JSON.
#pragma once

#include <string>
#include <string_view>

#include "server/StatusSnapshot.h"

namespace quorvane {

class StatusJson {
 public:
  // With `hideProtected`, a channel with a password shows its member count and no members.
  static std::string render(const StatusSnapshot& snapshot, bool hideProtected);
  // The bytes as a JSON string, quotation marks included. Besides what JSON requires, <, >, &
  // and the line separators U+2028 and U+2029 are escaped, so the text is safe inside HTML.
  static std::string quoted(std::string_view bytes);

 private:
  static void appendChannel(std::string& out, const StatusSnapshot::ChannelView& channel,
                            bool hideProtected);
};

}  // namespace quorvane
