// The line format on arbitrary bytes. The parameter reader agrees with the reading rules written
// out plainly below, also on the pairs it read before a fault; the integer check and conversion
// agree with a plain reading too; escaping equals its two ordered replacements and unescaping
// equals the reverse pair; text without backslashes survives escaping and unescaping; and every
// parameter the server appends is read back as it was written.
#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "protocol/MessageSyntax.h"

namespace quorvane::fuzz {
namespace {

// The checks' own strings keep their capacity from one input to the next, so that an input's
// allocations are mostly those of the code under test: each allocation costs the sanitizers far
// more than the work around it, and libFuzzer runs an input that frees less than it allocates
// once more to look for a leak.
struct Scratch {
  std::string a, b, c, d;
  std::string text, list, message;
  // The pairs of the plain reading in line order (key, unescaped value), `pairs` of them used.
  std::vector<std::pair<std::string_view, std::string>> read;
  std::size_t pairs = 0;
  std::vector<std::size_t> order;
  // The ids of the last written list, updated rather than rebuilt, and the set's nodes that it
  // does not hold now: reused, so that the set's changes allocate nothing.
  std::set<int> ids;
  std::vector<std::set<int>::node_type> spare;

  Scratch() {
    for (int c = 0; c < 256; ++c) ids.insert(ids.end(), c);
    spare.reserve(256);
    while (!ids.empty()) spare.push_back(ids.extract(ids.begin()));
  }
};

// Made before the first input, so that no input seems to leak what the checks keep.
Scratch& scratch() {
  static Scratch kept;
  return kept;
}

// True when `pattern` (not empty) occurs in `text` at `i`.
bool occursAt(std::string_view text, std::size_t i, std::string_view pattern) {
  if (text.size() - i < pattern.size()) return false;
  for (std::size_t k = 0; k < pattern.size(); ++k) {
    if (text[i + k] != pattern[k]) return false;
  }
  return true;
}

// `out` = `text` with every occurrence replaced, left to right, resuming after the inserted
// replacement. Each place where the pattern's first character stands is tried in turn; the text
// between matches is copied in runs.
void replaced(std::string_view text, std::string_view pattern, std::string_view with,
              std::string& out) {
  out.clear();
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
}

// `out` = `text` without any of the `dropped` characters. Compared one by one: a search of
// `dropped` for each character would be a call to the sanitizers' memchr each time.
void without(std::string_view text, std::string_view dropped, std::string& out) {
  out.clear();
  for (char c : text) {
    if (std::none_of(dropped.begin(), dropped.end(), [c](char d) { return c == d; })) out += c;
  }
}

// `out` = the two replacements of unescaping, in order; `step` holds the first.
void plainUnescape(std::string_view text, std::string& step, std::string& out) {
  replaced(text, "\\\"", "\"", step);
  replaced(step, "\\r\\n", "\r\n", out);
}

void plainEscape(std::string_view text, std::string& step, std::string& out) {
  replaced(text, "\"", "\\\"", step);
  replaced(step, "\r\n", "\\r\\n", out);
}

std::size_t skipBlanks(std::string_view line, std::size_t i) {
  while (i < line.size() && line[i] == ' ') ++i;
  return i;
}

// The value at `i`; `i` moves past it (and past the character after a closing mark). Empty when
// the line ends inside a quoted or bracketed value.
std::optional<std::string_view> plainValue(std::string_view line, std::size_t& i) {
  std::size_t end = i;
  if (line[i] == '"') {
    for (end = i + 1; end < line.size() && !(line[end] == '"' && line[end - 1] != '\\');) ++end;
  } else if (line[i] == '[') {
    for (end = i + 1; end < line.size() && line[end] != ']';) ++end;
  } else {
    while (end < line.size() && line[end] != ' ') ++end;
    const std::string_view value = line.substr(i, end - i);
    i = end;
    return value;
  }
  if (end >= line.size()) return std::nullopt;
  const std::string_view value = line.substr(i + 1, end - i - 1);
  i = end + 2;
  return value;
}

// The reading rules one step at a time: the command word, then key, blanks, "=", blanks, value.
// The pairs go to `kept.read` in line order, values unescaped.
bool plainParse(std::string_view line, Scratch& kept) {
  kept.pairs = 0;
  std::size_t i = line.find(' ');
  if (i == std::string_view::npos) return false;
  for (;;) {
    i = skipBlanks(line, i);
    if (i >= line.size()) return true;
    std::size_t keyEnd = i;
    while (keyEnd < line.size() && line[keyEnd] != ' ' && line[keyEnd] != '=') ++keyEnd;
    if (keyEnd == line.size()) return false;
    const std::string_view key = line.substr(i, keyEnd - i);
    i = skipBlanks(line, keyEnd);
    if (i == line.size() || line[i] != '=') return false;
    i = skipBlanks(line, i + 1);
    if (i == line.size()) return false;
    const std::optional<std::string_view> value = plainValue(line, i);
    if (!value) return false;
    if (kept.pairs == kept.read.size()) kept.read.emplace_back();
    auto& [readKey, readValue] = kept.read[kept.pairs++];
    readKey = key;
    plainUnescape(*value, kept.a, readValue);
  }
}

// The pairs of the plain reading as a map would hold them: ordered by key, the last of each key.
void lastOfEachKey(Scratch& kept) {
  kept.order.resize(kept.pairs);
  for (std::size_t k = 0; k < kept.pairs; ++k) kept.order[k] = k;
  std::sort(kept.order.begin(), kept.order.end(), [&kept](std::size_t x, std::size_t y) {
    const int order = kept.read[x].first.compare(kept.read[y].first);
    return order < 0 || (order == 0 && x < y);
  });
  std::size_t unique = 0;
  for (std::size_t k = 0; k < kept.order.size(); ++k) {
    const bool last = k + 1 == kept.order.size() ||
                      kept.read[kept.order[k + 1]].first != kept.read[kept.order[k]].first;
    if (last) kept.order[unique++] = kept.order[k];
  }
  kept.order.resize(unique);
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

void checkParsing(std::string_view line, Scratch& kept) {
  ParamMap map;
  const bool valid = parseParams(line, map);
  if (valid != plainParse(line, kept)) fail("parseParams judges the line wrongly", line);
  lastOfEachKey(kept);
  if (map.size() != kept.order.size() ||
      !std::equal(map.begin(), map.end(), kept.order.begin(),
                  [&kept](const auto& pair, std::size_t k) {
                    return pair.first == kept.read[k].first && pair.second == kept.read[k].second;
                  })) {
    fail("parseParams read other pairs", line);
  }
  const LineParams params(line);
  if (params.valid() != valid) fail("LineParams disagrees with parseParams", line);
  for (std::size_t k : kept.order) {
    const auto& [key, value] = kept.read[k];
    if (params.getStringParam(key, kept.text) != valid || (valid && kept.text != value)) {
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

void checkEscaping(std::string_view text, Scratch& kept) {
  const std::string escaped = escapeText(text);
  plainEscape(text, kept.a, kept.b);
  if (escaped != kept.b) fail("escapeText is not its two replacements", text);
  kept.c.assign(text);
  replaceAll(kept.c, "\"", "\\\"");
  replaceAll(kept.c, "\r\n", "\\r\\n");
  if (escaped != kept.c) fail("escapeText differs from replaceAll", text);
  plainUnescape(text, kept.a, kept.b);
  if (unescapeText(text) != kept.b) fail("unescapeText is not its replacements", text);
  without(text, "\\", kept.d);
  if (unescapeText(escapeText(kept.d)) != kept.d) fail("escaping lost text", text);
}

// Pattern and replacement from the first bytes, the text from the rest.
void checkReplaceAll(std::string_view bytes, Scratch& kept) {
  const std::string_view pattern = bytes.substr(0, std::min<std::size_t>(2, bytes.size()));
  const std::string_view with = bytes.substr(pattern.size(), 3);
  const std::string_view text = bytes.substr(pattern.size() + with.size());
  kept.a.assign(text);
  replaceAll(kept.a, pattern, with);
  replaced(text, pattern, with, kept.b);
  if (kept.a != kept.b) fail("replaceAll is wrong", bytes);
}

// `kept.ids` becomes the bytes seen, changed only where it differs from the last input's.
void setIds(const std::array<bool, 256>& seen, Scratch& kept) {
  std::set<int>& ids = kept.ids;
  auto at = ids.begin();
  for (int c = 0; c < 256; ++c) {
    const bool present = at != ids.end() && *at == c;
    if (seen[c] && !present) {
      std::set<int>::node_type node = std::move(kept.spare.back());
      kept.spare.pop_back();
      node.value() = c;
      at = std::next(ids.insert(at, std::move(node)));
    } else if (!seen[c] && present) {
      kept.spare.push_back(ids.extract(at++));
    } else if (present) {
      ++at;
    }
  }
}

// A message the server could write, built from the input, reads back as it was written.
void checkWriting(std::string_view bytes, Scratch& kept) {
  without(bytes.substr(0, 6), " =", kept.a);
  const std::string key = "k" + kept.a;
  without(bytes.substr(std::min<std::size_t>(6, bytes.size())), "\\", kept.b);
  const std::string& value = kept.b;
  std::uint32_t hash = 0;
  std::array<bool, 256> seen{};
  for (unsigned char c : bytes) {
    hash = hash * 31 + c;
    seen[c] = true;
  }
  setIds(seen, kept);
  const int number = static_cast<int>(hash);
  std::string& message = kept.message;
  message.assign("word");
  appendStringParam(message, key, value);
  appendIntParam(message, "n", number);
  appendBoolParam(message, "b", number % 2 != 0);
  appendListParam(message, "l", kept.ids);
  const LineParams params(message);
  int readNumber = 0, flag = 0;
  kept.list.clear();
  for (int id : kept.ids) {
    if (!kept.list.empty()) kept.list += ',';
    kept.list += std::to_string(id);
  }
  if (!params.getStringParam(key, kept.text) || kept.text != value ||
      !params.getIntParam("n", readNumber) || readNumber != number ||
      !params.getIntParam("b", flag) || flag != (number % 2 != 0) ||
      !params.getStringParam("l", kept.text) || kept.text != kept.list) {
    fail("a written message does not read back", message);
  }
}

}  // namespace
}  // namespace quorvane::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quorvane::fuzz::scratch();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorvane::fuzz;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Scratch& kept = scratch();
  checkParsing(bytes, kept);
  checkInteger(bytes);
  checkEscaping(bytes, kept);
  checkReplaceAll(bytes, kept);
  checkWriting(bytes, kept);
  return 0;
}
