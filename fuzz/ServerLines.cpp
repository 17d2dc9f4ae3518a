#include "ServerLines.h"

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace quorvane::fuzz {

namespace {

// Field kinds: S string, I integer, B boolean, L list of ids.
using Layout = std::vector<std::pair<std::string, char>>;

Layout concat(Layout base, const Layout& more) {
  base.insert(base.end(), more.begin(), more.end());
  return base;
}

const std::map<std::string, Layout, std::less<>>& layouts() {
  static const Layout user = {
      {"id", 'I'},      {"nick", 'S'},     {"address", 'S'},   {"soundport", 'I'},
      {"channel", 'S'}, {"bandmode", 'I'}, {"framesize", 'I'}, {"encodedframesize", 'I'},
      {"fpp", 'I'}};
  static const Layout channel = {
      {"channel", 'S'}, {"protected", 'B'}, {"topic", 'S'}, {"operators", 'L'}};
  static const std::map<std::string, Layout, std::less<>> all = {
      {"welcome",
       {{"id", 'I'},
        {"servername", 'S'},
        {"forwarding", 'B'},
        {"channels", 'B'},
        {"operators", 'B'},
        {"protocol", 'S'}}},
      {"accepted", {user[0], user[1], user[2], user[3], user[5], user[6], user[7], user[8]}},
      {"youare", {user[0], user[1], user[2], user[3], user[5], user[6], user[7]}},
      {"error", {{"number", 'I'}}},
      {"pong", {}},
      {"quit", {}},
      {"kicked", {}},
      {"pwc", {{"channel", 'S'}}},
      {"addchannel", channel},
      {"updatechannel", channel},
      {"removechannel", {{"channel", 'S'}}},
      {"joined", {{"channel", 'S'}}},
      {"adduser", concat(user, {{"forward", 'B'}, {"statusmode", 'I'}, {"statusmessage", 'S'}})},
      {"updateuser", concat(user, {{"statusmode", 'I'}, {"statusmessage", 'S'}})},
      {"removeuser", {{"id", 'I'}, {"channel", 'S'}}},
      {"messagedeliver", {{"type", 'I'}, {"from", 'I'}, {"message", 'S'}, {"channel", 'S'}}},
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

bool fieldsMatch(std::string_view rest, const Layout& layout, std::size_t f);

// A string may end in a backslash, so its closing mark is found by trying each candidate.
bool stringFieldMatches(std::string_view rest, const Layout& layout, std::size_t f) {
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

// True when `rest` is exactly the fields from `f` on.
bool fieldsMatch(std::string_view rest, const Layout& layout, std::size_t f) {
  if (f == layout.size()) return rest.empty();
  const std::string head = " " + layout[f].first + "=";
  if (!rest.starts_with(head)) return false;
  rest.remove_prefix(head.size());
  if (layout[f].second == 'S') return stringFieldMatches(rest, layout, f);
  const std::size_t end = std::min(rest.find(' '), rest.size());
  const std::string_view value = rest.substr(0, end);
  bool ok = false;
  switch (layout[f].second) {
    case 'I': ok = isNumber(value, true); break;
    case 'B': ok = value == "0" || value == "1"; break;
    default: ok = isIdList(value); break;
  }
  return ok && fieldsMatch(rest.substr(end), layout, f + 1);
}

}  // namespace

bool isServerLine(std::string_view line) {
  static const std::set<std::string, std::less<>> errors = {
      "100", "101", "102", "103", "104", "105", "106", "108", "110", "111", "112", "113",
      "204", "206", "300", "301", "302", "303", "304", "400", "401", "402", "403"};
  const std::string_view word = line.substr(0, line.find(' '));
  const auto layout = layouts().find(word);
  if (layout == layouts().end()) return false;
  std::string_view rest = line.substr(word.size());
  // "pwc" puts one more blank before its field.
  if (word == "pwc") {
    if (!rest.starts_with(" ")) return false;
    rest.remove_prefix(1);
  }
  if (word == "error" && !errors.contains(rest.substr(std::min<std::size_t>(8, rest.size())))) {
    return false;
  }
  return fieldsMatch(rest, layout->second, 0);
}

}  // namespace quorvane::fuzz
