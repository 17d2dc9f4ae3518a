#include "client/ServerLine.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace quorvane {

namespace {

// The form of one field: S string, I integer, B boolean, L list of ids.
struct Field {
  const char* key;
  char form;
};
using Layout = std::vector<Field>;

const std::map<std::string, Layout, std::less<>>& layouts() {
  static const Field id{"id", 'I'}, nick{"nick", 'S'}, address{"address", 'S'},
      soundport{"soundport", 'I'}, channel{"channel", 'S'}, bandmode{"bandmode", 'I'},
      framesize{"framesize", 'I'}, encoded{"encodedframesize", 'I'}, fpp{"fpp", 'I'},
      statusmode{"statusmode", 'I'}, statusmessage{"statusmessage", 'S'};
  static const Layout channelFields = {channel, {"protected", 'B'}, {"topic", 'S'},
                                       {"operators", 'L'}};
  static const std::map<std::string, Layout, std::less<>> all = {
      {"welcome", {id, {"servername", 'S'}, {"forwarding", 'B'}, {"channels", 'B'},
                   {"operators", 'B'}, {"protocol", 'S'}}},
      {"accepted", {id, nick, address, soundport, bandmode, framesize, encoded, fpp}},
      {"youare", {id, nick, address, soundport, bandmode, framesize, encoded}},
      {"error", {{"number", 'I'}}},
      {"pong", {}},
      {"quit", {}},
      {"kicked", {}},
      {"pwc", {channel}},
      {"addchannel", channelFields},
      {"updatechannel", channelFields},
      {"removechannel", {channel}},
      {"joined", {channel}},
      {"adduser", {id, nick, address, soundport, channel, bandmode, framesize, encoded, fpp,
                   {"forward", 'B'}, statusmode, statusmessage}},
      {"updateuser", {id, nick, address, soundport, channel, bandmode, framesize, encoded, fpp,
                      statusmode, statusmessage}},
      {"removeuser", {id, channel}},
      {"messagedeliver", {{"type", 'I'}, {"from", 'I'}, {"message", 'S'}, channel}},
  };
  return all;
}

bool isNumber(std::string_view text, bool sign) {
  if (sign && !text.empty() && text[0] == '-') text.remove_prefix(1);
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// "[", decimal ids separated by single commas, "]".
bool isIdList(std::string_view text) {
  if (text.size() < 2 || text.front() != '[' || text.back() != ']') return false;
  std::string_view ids = text.substr(1, text.size() - 2);
  while (!ids.empty()) {
    const std::size_t comma = ids.find(',');
    if (!isNumber(ids.substr(0, comma), false)) return false;
    if (comma == std::string_view::npos) break;
    ids.remove_prefix(comma + 1);
    if (ids.empty()) return false;
  }
  return true;
}

// An escaped string body: every quotation mark escaped, no line feed inside.
bool isEscapedText(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' || (text[i] == '"' && (i == 0 || text[i - 1] != '\\'))) return false;
  }
  return true;
}

// True when `rest` is exactly the fields from `f` on. A string may end in a backslash, so its
// closing mark is found by trying each candidate in turn.
bool fieldsMatch(std::string_view rest, const Layout& layout, std::size_t f) {
  if (f == layout.size()) return rest.empty();
  const std::string head = std::string(" ") + layout[f].key + "=";
  if (!rest.starts_with(head)) return false;
  rest.remove_prefix(head.size());
  if (layout[f].form == 'S') {
    if (rest.empty() || rest[0] != '"') return false;
    for (std::size_t close = rest.find('"', 1); close != std::string_view::npos;
         close = rest.find('"', close + 1)) {
      if (isEscapedText(rest.substr(1, close - 1)) &&
          fieldsMatch(rest.substr(close + 1), layout, f + 1)) {
        return true;
      }
    }
    return false;
  }
  const std::size_t end = std::min(rest.find(' '), rest.size());
  const std::string_view value = rest.substr(0, end);
  bool ok = false;
  switch (layout[f].form) {
    case 'I': ok = isNumber(value, true); break;
    case 'B': ok = value == "0" || value == "1"; break;
    default: ok = isIdList(value); break;
  }
  return ok && fieldsMatch(rest.substr(end), layout, f + 1);
}

bool knownErrorNumber(std::string_view number) {
  static const std::set<std::string, std::less<>> numbers = {
      "100", "101", "102", "103", "104", "105", "106", "108", "110", "111", "112", "113",
      "204", "206", "300", "301", "302", "303", "304", "400", "401", "402", "403"};
  return numbers.contains(number);
}

}  // namespace

ServerLine::ServerLine(std::string text) : text_(std::move(text)) {}

const LineParams& ServerLine::params() const {
  if (!params_) params_.emplace(text_);
  return *params_;
}

std::string_view ServerLine::word() const {
  return std::string_view(text_).substr(0, text_.find(' '));
}

bool ServerLine::getString(std::string_view key, std::string& out) const {
  return params().getStringParam(key, out);
}

bool ServerLine::getInt(std::string_view key, int& out) const {
  return params().getIntParam(key, out);
}

std::string ServerLine::stringParam(std::string_view key) const {
  std::string value;
  params().getStringParam(key, value);
  return value;
}

int ServerLine::intParam(std::string_view key, int fallback) const {
  int value = fallback;
  params().getIntParam(key, value);
  return value;
}

bool ServerLine::checkForm() const {
  const std::string_view word = this->word();
  const auto layout = layouts().find(word);
  if (layout == layouts().end()) return false;
  std::string_view rest = std::string_view(text_).substr(word.size());
  // "pwc" puts a second blank before its one field.
  if (word == "pwc") {
    if (!rest.starts_with(' ')) return false;
    rest.remove_prefix(1);
  }
  if (word == "error" && !(rest.starts_with(" number=") && knownErrorNumber(rest.substr(8)))) {
    return false;
  }
  return fieldsMatch(rest, layout->second, 0);
}

}  // namespace quorvane
