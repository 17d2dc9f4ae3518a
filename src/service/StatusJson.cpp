#include "service/StatusJson.h"

#include <cstdint>

#include "protocol/Notifications.h"

namespace quorvane {

namespace {

void appendEscape(std::string& out, unsigned codePoint) {
  static const char kHex[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(codePoint >> shift) & 0xF];
}

// The length of the valid UTF-8 sequence at `at` (2 to 4 bytes, no overlong form, no surrogate,
// nothing above U+10FFFF) and its code point; 0 when there is none.
std::size_t utf8Sequence(std::string_view text, std::size_t at, unsigned& codePoint) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned lead = byte(at);
  std::size_t length = 0;
  unsigned minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, codePoint = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, codePoint = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, codePoint = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    codePoint = (codePoint << 6) | (byte(at + i) & 0x3F);
  }
  if (codePoint < minimum || codePoint > 0x10FFFF) return 0;
  if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return 0;
  return length;
}

void appendField(std::string& out, const char* name) {
  out += '"';
  out += name;
  out += "\":";
}

}  // namespace

std::string StatusJson::quoted(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < bytes.size();) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x80) {
      unsigned codePoint = 0;
      const std::size_t length = utf8Sequence(bytes, i, codePoint);
      if (length == 0) {
        appendEscape(out, c);  // not UTF-8: the byte as Latin-1
        ++i;
      } else if (codePoint == 0x2028 || codePoint == 0x2029) {
        appendEscape(out, codePoint);
        i += length;
      } else {
        out.append(bytes.substr(i, length));
        i += length;
      }
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F || c == '<' || c == '>' || c == '&') {
      appendEscape(out, c);
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  out += '"';
  return out;
}

void StatusJson::appendChannel(std::string& out, const StatusSnapshot::ChannelView& channel,
                               bool hideProtected) {
  out += '{';
  appendField(out, "path");
  out += quoted(channel.path);
  out += ',';
  appendField(out, "depth");
  out += std::to_string(channel.depth);
  out += ',';
  appendField(out, "topic");
  out += quoted(channel.topic);
  out += ',';
  appendField(out, "protected");
  out += channel.isProtected ? "true," : "false,";
  appendField(out, "static");
  out += channel.isStatic ? "true," : "false,";
  appendField(out, "memberCount");
  out += std::to_string(channel.members.size());
  if (!(hideProtected && channel.isProtected)) {
    out += ',';
    appendField(out, "operators");
    out += '[';
    for (std::size_t i = 0; i < channel.operators.size(); ++i) {
      if (i != 0) out += ',';
      out += std::to_string(channel.operators[i]);
    }
    out += "],";
    appendField(out, "members");
    out += '[';
    for (std::size_t i = 0; i < channel.members.size(); ++i) {
      const StatusSnapshot::Member& member = channel.members[i];
      if (i != 0) out += ',';
      out += "{\"id\":" + std::to_string(member.id) + ",\"nick\":" + quoted(member.nick) +
             ",\"status\":{\"mode\":" + std::to_string(member.statusMode) +
             ",\"message\":" + quoted(member.statusMessage) +
             "},\"idle\":" + std::to_string(member.idleSeconds) + '}';
    }
    out += ']';
  }
  out += '}';
}

std::string StatusJson::render(const StatusSnapshot& snapshot, bool hideProtected) {
  std::string out = "{";
  appendField(out, "name");
  out += quoted(snapshot.serverName);
  out += ',';
  appendField(out, "protocol");
  out += quoted(kProtocolVersion);
  out += ',';
  appendField(out, "uptime");
  out += std::to_string(snapshot.uptimeSeconds);
  out += ',';
  appendField(out, "channels");
  out += '[';
  for (std::size_t i = 0; i < snapshot.channels.size(); ++i) {
    if (i != 0) out += ',';
    appendChannel(out, snapshot.channels[i], hideProtected);
  }
  out += "]}\n";
  return out;
}

}  // namespace quorvane
