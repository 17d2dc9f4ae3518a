#include "protocol/MessageSyntax.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <utility>

namespace quorvane {

namespace {

constexpr char kBlank = ' ';
constexpr std::string_view kEscapedLineEnd = "\\r\\n";

std::size_t skipBlanks(std::string_view line, std::size_t i) {
  while (i < line.size() && line[i] == kBlank) {
    ++i;
  }
  return i;
}

// Index of the quotation mark that closes a value opened at `open`: the first one whose
// preceding character is not a backslash. npos when the line ends first.
std::size_t findClosingQuote(std::string_view line, std::size_t open) {
  for (std::size_t i = line.find('"', open + 1); i != std::string_view::npos;
       i = line.find('"', i + 1)) {
    if (line[i - 1] != '\\') {
      return i;
    }
  }
  return std::string_view::npos;
}

// Reads the value starting at `i` into `value` and returns the position after it; npos when the
// line ends inside a quoted or bracketed value. A closing mark is followed by one skipped
// character, whatever it is.
std::size_t readValue(std::string_view line, std::size_t i, std::string_view& value) {
  std::size_t close;
  if (line[i] == '"') {
    close = findClosingQuote(line, i);
  } else if (line[i] == '[') {
    close = line.find(']', i + 1);
  } else {
    std::size_t end = line.find(kBlank, i);
    if (end == std::string_view::npos) {
      end = line.size();
    }
    value = line.substr(i, end - i);
    return end;
  }
  if (close == std::string_view::npos) {
    return close;
  }
  value = line.substr(i + 1, close - i - 1);
  return close + 2;
}

// Reads one key=value pair starting at `i` (not a blank) and stores it; returns the position
// after it, or npos when the pair breaks the syntax.
std::size_t readParam(std::string_view line, std::size_t i, ParamMap& map) {
  const std::size_t keyEnd = line.find_first_of(" =", i);
  if (keyEnd == std::string_view::npos) {
    return keyEnd;
  }
  const std::string_view key = line.substr(i, keyEnd - i);
  i = skipBlanks(line, keyEnd);
  if (i == line.size() || line[i] != '=') {
    return std::string_view::npos;
  }
  i = skipBlanks(line, i + 1);
  if (i == line.size()) {
    return std::string_view::npos;
  }
  std::string_view value;
  i = readValue(line, i, value);
  if (i == std::string_view::npos) {
    return i;
  }
  std::string& stored = map.try_emplace(std::string(key)).first->second;
  // Most values hold no backslash, and then unescaping would only copy.
  if (value.find('\\') == std::string_view::npos) {
    stored.assign(value);
  } else {
    stored = unescapeText(value);
  }
  return i;
}

// Escapes `text` onto `out` in one pass, copying the text between replacements in runs. This
// equals replacing quotation marks first and CR LF second: neither replacement creates or breaks
// an occurrence of the other's pattern.
void appendEscaped(std::string& out, std::string_view text) {
  std::size_t copied = 0;
  std::size_t quote = text.find('"');
  std::size_t cr = text.find('\r');
  while (quote != std::string_view::npos || cr != std::string_view::npos) {
    if (quote < cr) {
      out.append(text.substr(copied, quote - copied)).append("\\\"");
      copied = quote + 1;
      quote = text.find('"', copied);
    } else if (cr + 1 < text.size() && text[cr + 1] == '\n') {
      out.append(text.substr(copied, cr - copied)).append(kEscapedLineEnd);
      copied = cr + 2;
      cr = text.find('\r', copied);
    } else {
      cr = text.find('\r', cr + 1);
    }
  }
  out.append(text.substr(copied));
}

void appendInt(std::string& out, int value) {
  char digits[std::numeric_limits<int>::digits10 + 3];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

void appendKey(std::string& message, std::string_view key) {
  message += kBlank;
  message += key;
  message += '=';
}

}  // namespace

bool parseParams(std::string_view line, ParamMap& map) {
  std::size_t i = line.find(kBlank);
  if (i == std::string_view::npos) {
    return false;
  }
  while (i < line.size()) {
    i = skipBlanks(line, i);
    if (i == line.size()) {
      break;
    }
    i = readParam(line, i, map);
    if (i == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

LineParams::LineParams(std::string_view line) : valid_(parseParams(line, params_)) {
  if (!valid_) {
    params_.clear();
  }
}

bool LineParams::getStringParam(std::string_view key, std::string& out) const {
  const auto it = params_.find(key);
  if (it == params_.end()) {
    return false;
  }
  out = it->second;
  return true;
}

bool LineParams::getIntParam(std::string_view key, int& out) const {
  const auto it = params_.find(key);
  return it != params_.end() && parseIntegerText(it->second, out);
}

bool isIntegerText(std::string_view text) {
  if (text.empty()) {
    return false;
  }
  const std::size_t start = text[0] == '-' ? 1 : 0;
  return text.find_first_not_of("0123456789", start) == std::string_view::npos;
}

bool parseIntegerText(std::string_view text, int& out) {
  if (!isIntegerText(text)) {
    return false;
  }
  const bool negative = text[0] == '-';
  // The magnitude of the most negative int; anything larger cannot fit either way.
  const std::int64_t limit = std::int64_t{std::numeric_limits<int>::max()} + (negative ? 1 : 0);
  std::int64_t magnitude = 0;
  for (std::size_t i = negative ? 1 : 0; i < text.size(); ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > limit) {
      return false;
    }
  }
  out = static_cast<int>(negative ? -magnitude : magnitude);
  return true;
}

std::string escapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  appendEscaped(out, text);
  return out;
}

// The reverse of escapeText in one pass, equal to the two ordered replacements for the same
// reason: a removed backslash only ever stands before a quotation mark. Only a backslash can
// start a replacement, so the text between backslashes is copied in runs.
std::string unescapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t copied = 0;
  for (std::size_t i = text.find('\\'); i != std::string_view::npos; i = text.find('\\', i)) {
    if (i + 1 < text.size() && text[i + 1] == '"') {
      out.append(text.substr(copied, i - copied)) += '"';
      i += 2;
      copied = i;
    } else if (text.substr(i, kEscapedLineEnd.size()) == kEscapedLineEnd) {
      out.append(text.substr(copied, i - copied)).append("\r\n");
      i += kEscapedLineEnd.size();
      copied = i;
    } else {
      ++i;
    }
  }
  out.append(text.substr(copied));
  return out;
}

void replaceAll(std::string& text, std::string_view pattern, std::string_view replacement) {
  if (pattern.empty()) {
    return;
  }
  std::size_t at = text.find(pattern);
  if (at == std::string::npos) {
    return;
  }
  std::string out;
  out.reserve(text.size());
  std::size_t from = 0;
  for (; at != std::string::npos; at = text.find(pattern, from)) {
    out.append(text, from, at - from);
    out += replacement;
    from = at + pattern.size();
  }
  out.append(text, from, std::string::npos);
  text = std::move(out);
}

void appendStringParam(std::string& message, std::string_view key, std::string_view value) {
  appendKey(message, key);
  message += '"';
  appendEscaped(message, value);
  message += '"';
}

void appendIntParam(std::string& message, std::string_view key, int value) {
  appendKey(message, key);
  appendInt(message, value);
}

void appendBoolParam(std::string& message, std::string_view key, bool value) {
  appendKey(message, key);
  message += value ? '1' : '0';
}

void appendListParam(std::string& message, std::string_view key, const std::set<int>& ids) {
  appendKey(message, key);
  message += '[';
  bool first = true;
  for (const int id : ids) {
    if (!first) {
      message += ',';
    }
    first = false;
    appendInt(message, id);
  }
  message += ']';
}

}  // namespace quorvane
