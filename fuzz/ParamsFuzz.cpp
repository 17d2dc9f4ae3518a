// The line format on arbitrary bytes. The parameter reader agrees with the reading rules written
// out plainly below, also on the pairs it read before a fault; the integer check and conversion
// agree with a plain reading too; escaping equals its two ordered replacements and unescaping
// equals the reverse pair; text without backslashes survives escaping and unescaping; and every
// parameter the server appends is read back as it was written.
#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "protocol/MessageSyntax.h"

namespace quorvane::fuzz {
namespace {

using PlainMap = std::map<std::string, std::string, std::less<>>;

// True when `pattern` (not empty) occurs in `text` at `i`.
bool occursAt(std::string_view text, std::size_t i, std::string_view pattern) {
  if (text.size() - i < pattern.size()) return false;
  for (std::size_t k = 0; k < pattern.size(); ++k) {
    if (text[i + k] != pattern[k]) return false;
  }
  return true;
}

// Every occurrence, left to right, resuming after the inserted replacement. Each place where the
// pattern's first character stands is tried in turn; the text between matches is copied in runs.
std::string replaced(std::string_view text, std::string_view pattern, std::string_view with) {
  std::string out;
  out.reserve(text.size());
  std::size_t copied = 0;
  for (std::size_t i = 0; !pattern.empty() && (i = text.find(pattern[0], i)) != text.npos;) {
    if (!occursAt(text, i, pattern)) {
      ++i;
      continue;
    }
    out.append(text.substr(copied, i - copied));
    out.append(with);
    i += pattern.size();
    copied = i;
  }
  out.append(text.substr(copied));
  return out;
}

// `text` without any of the `dropped` characters.
std::string without(std::string_view text, std::string_view dropped) {
  std::string out(text);
  std::erase_if(out, [dropped](char c) { return dropped.find(c) != dropped.npos; });
  return out;
}

std::string plainUnescape(std::string_view text) {
  return replaced(replaced(text, "\\\"", "\""), "\\r\\n", "\r\n");
}

std::string plainEscape(std::string_view text) {
  return replaced(replaced(text, "\"", "\\\""), "\r\n", "\\r\\n");
}

std::size_t skipBlanks(std::string_view line, std::size_t i) {
  while (i < line.size() && line[i] == ' ') ++i;
  return i;
}

// The value at `i`; `i` moves past it (and past the character after a closing mark). Empty when
// the line ends inside a quoted or bracketed value.
std::optional<std::string> plainValue(std::string_view line, std::size_t& i) {
  std::size_t end = i;
  if (line[i] == '"') {
    for (end = i + 1; end < line.size() && !(line[end] == '"' && line[end - 1] != '\\');) ++end;
  } else if (line[i] == '[') {
    for (end = i + 1; end < line.size() && line[end] != ']';) ++end;
  } else {
    while (end < line.size() && line[end] != ' ') ++end;
    std::string value(line.substr(i, end - i));
    i = end;
    return value;
  }
  if (end >= line.size()) return std::nullopt;
  std::string value(line.substr(i + 1, end - i - 1));
  i = end + 2;
  return value;
}

// The reading rules one step at a time: the command word, then key, blanks, "=", blanks, value.
bool plainParse(std::string_view line, PlainMap& map) {
  std::size_t i = line.find(' ');
  if (i == std::string_view::npos) return false;
  for (;;) {
    i = skipBlanks(line, i);
    if (i >= line.size()) return true;
    std::size_t keyEnd = i;
    while (keyEnd < line.size() && line[keyEnd] != ' ' && line[keyEnd] != '=') ++keyEnd;
    if (keyEnd == line.size()) return false;
    const std::string key(line.substr(i, keyEnd - i));
    i = skipBlanks(line, keyEnd);
    if (i == line.size() || line[i] != '=') return false;
    i = skipBlanks(line, i + 1);
    if (i == line.size()) return false;
    const std::optional<std::string> value = plainValue(line, i);
    if (!value) return false;
    map[key] = plainUnescape(*value);
  }
}

// Optional "-", then digits; converted when the value fits in 32 bits.
std::optional<std::int64_t> plainInteger(std::string_view text, bool& integer) {
  const bool negative = !text.empty() && text[0] == '-';
  std::string_view digits = text.substr(negative ? 1 : 0);
  integer = !text.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos;
  if (!integer) return std::nullopt;
  digits.remove_prefix(std::min(digits.find_first_not_of('0'), digits.size()));
  if (digits.size() > 10) return std::nullopt;
  std::int64_t magnitude = 0;
  for (char c : digits) magnitude = magnitude * 10 + (c - '0');
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) {
    return std::nullopt;
  }
  return value;
}

void checkInteger(std::string_view text) {
  bool integer = false;
  const std::optional<std::int64_t> expected = plainInteger(text, integer);
  if (isIntegerText(text) != integer) fail("isIntegerText is wrong", text);
  int value = 0;
  const bool converted = parseIntegerText(text, value);
  if (converted != expected.has_value() || (converted && value != *expected)) {
    fail("parseIntegerText is wrong", text);
  }
}

void checkParsing(std::string_view line) {
  ParamMap map;
  PlainMap plain;
  const bool valid = parseParams(line, map);
  if (valid != plainParse(line, plain)) fail("parseParams judges the line wrongly", line);
  if (map.size() != plain.size() || !std::equal(map.begin(), map.end(), plain.begin())) {
    fail("parseParams read other pairs", line);
  }
  const LineParams params(line);
  if (params.valid() != valid) fail("LineParams disagrees with parseParams", line);
  for (const auto& [key, value] : plain) {
    std::string text;
    if (params.getStringParam(key, text) != valid || (valid && text != value)) {
      fail("a lookup gives another value", line);
    }
    int number = 0;
    bool integer = false;
    const std::optional<std::int64_t> expected = plainInteger(value, integer);
    if (params.getIntParam(key, number) != (valid && expected.has_value()) ||
        (valid && expected && number != *expected)) {
      fail("an integer lookup gives another value", line);
    }
    checkInteger(value);
  }
}

void checkEscaping(std::string_view text) {
  const std::string escaped = escapeText(text);
  if (escaped != plainEscape(text)) fail("escapeText is not its two replacements", text);
  std::string twoSteps(text);
  replaceAll(twoSteps, "\"", "\\\"");
  replaceAll(twoSteps, "\r\n", "\\r\\n");
  if (escaped != twoSteps) fail("escapeText differs from replaceAll", text);
  if (unescapeText(text) != plainUnescape(text)) fail("unescapeText is not its replacements", text);
  const std::string noBackslash = without(text, "\\");
  if (unescapeText(escapeText(noBackslash)) != noBackslash) fail("escaping lost text", text);
}

// Pattern and replacement from the first bytes, the text from the rest.
void checkReplaceAll(std::string_view bytes) {
  const std::string_view pattern = bytes.substr(0, std::min<std::size_t>(2, bytes.size()));
  const std::string_view with = bytes.substr(pattern.size(), 3);
  const std::string_view text = bytes.substr(pattern.size() + with.size());
  std::string result(text);
  replaceAll(result, pattern, with);
  if (result != replaced(text, pattern, with)) fail("replaceAll is wrong", bytes);
}

// A message the server could write, built from the input, reads back as it was written.
void checkWriting(std::string_view bytes) {
  const std::string key = "k" + without(bytes.substr(0, 6), " =");
  const std::string value = without(bytes.substr(std::min<std::size_t>(6, bytes.size())), "\\");
  std::uint32_t hash = 0;
  std::array<bool, 256> seen{};
  for (unsigned char c : bytes) {
    hash = hash * 31 + c;
    seen[c] = true;
  }
  std::set<int> ids;
  for (int c = 0; c < 256; ++c) {
    if (seen[c]) ids.insert(ids.end(), c);
  }
  const int number = static_cast<int>(hash);
  std::string message = "word";
  appendStringParam(message, key, value);
  appendIntParam(message, "n", number);
  appendBoolParam(message, "b", number % 2 != 0);
  appendListParam(message, "l", ids);
  const LineParams params(message);
  std::string text, list;
  int readNumber = 0, flag = 0;
  for (int id : ids) list += (list.empty() ? "" : ",") + std::to_string(id);
  if (!params.getStringParam(key, text) || text != value || !params.getIntParam("n", readNumber) ||
      readNumber != number || !params.getIntParam("b", flag) || flag != (number % 2 != 0) ||
      !params.getStringParam("l", text) || text != list) {
    fail("a written message does not read back", message);
  }
}

}  // namespace
}  // namespace quorvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorvane::fuzz;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  checkParsing(bytes);
  checkInteger(bytes);
  checkEscaping(bytes);
  checkReplaceAll(bytes);
  checkWriting(bytes);
  return 0;
}
