// One line received from the server (CR LF removed): its command word, its parameters read with
// the server's own parser, and a check of the exact field layout the server writes. A value
// type; the parameters are parsed on first use, so one object is not for two threads at once.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "protocol/MessageSyntax.h"

namespace quorvane {

class ServerLine {
 public:
  explicit ServerLine(std::string text);

  const std::string& text() const { return text_; }
  // The text up to the first blank, as received (the server writes lower case).
  std::string_view word() const;
  bool is(std::string_view word) const { return this->word() == word; }

  // The parameter's unescaped value; false (and `out` untouched) when absent.
  bool getString(std::string_view key, std::string& out) const;
  // The parameter as a 32-bit integer; false when absent or not an integer.
  bool getInt(std::string_view key, int& out) const;
  // Shorthands: the value, or empty text / `fallback` when absent.
  std::string stringParam(std::string_view key) const;
  int intParam(std::string_view key, int fallback = -1) const;

  // True when the line is one the server may write: a known reply or notification word followed
  // by exactly its fields, in order, each in its form (quoted escaped string, integer, 0 or 1,
  // id list), and for "error" a number the server uses.
  bool checkForm() const;

 private:
  const LineParams& params() const;

  std::string text_;
  // Most lines are only sorted by their word, so the parameters wait until someone asks.
  mutable std::optional<LineParams> params_;
};

}  // namespace quorvane
