// The text format of protocol lines: reading key=value parameters from a received line, escaping
// string values, and writing parameters into an outgoing line. Text is bytes, one per character.
#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>

namespace quorvane {

using ParamMap = std::map<std::string, std::string, std::less<>>;

// Reads every parameter of `line` (terminator already removed) into `map`; later keys replace
// earlier ones. False when the line does not follow the syntax; `map` then holds whatever was
// read before the fault, and callers must treat the line as having no parameters.
bool parseParams(std::string_view line, ParamMap& map);

// The parameters of one received line, parsed once. A line that fails the syntax has none.
class LineParams {
 public:
  explicit LineParams(std::string_view line);

  bool valid() const { return valid_; }
  // True and `out` set when the key is present.
  bool getStringParam(std::string_view key, std::string& out) const;
  // True and `out` set when the key is present and its value is an integer in the 32-bit range.
  bool getIntParam(std::string_view key, int& out) const;

 private:
  ParamMap params_;
  bool valid_;
};

// Not empty, an optional leading "-", then only decimal digits ("-" alone passes).
bool isIntegerText(std::string_view text);
// isIntegerText, converted; false when the value lies outside the 32-bit signed range.
bool parseIntegerText(std::string_view text, int& out);

// The reverse of the escaping that appendStringParam does (quotation mark -> backslash quotation
// mark, then CR LF -> backslash r backslash n), in the same order; other backslashes stay.
std::string unescapeText(std::string_view text);

// Append one parameter, with its leading blank, to a message under construction.
void appendStringParam(std::string& message, std::string_view key, std::string_view value);
void appendIntParam(std::string& message, std::string_view key, int value);
void appendBoolParam(std::string& message, std::string_view key, bool value);
void appendListParam(std::string& message, std::string_view key, const std::set<int>& ids);

// Test hooks; the program never calls them. The escaping of appendStringParam alone; every
// occurrence replaced left to right, resuming after each inserted replacement (the two
// replacements that escaping equals).
std::string escapeText(std::string_view text);
void replaceAll(std::string& text, std::string_view pattern, std::string_view replacement);

}  // namespace quorvane
