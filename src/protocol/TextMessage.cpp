#include "protocol/TextMessage.h"

#include <algorithm>
#include <climits>

namespace quorvane {

namespace {

// The decimal value at the start of `text` as the C library reads it: leading white space, an
// optional sign, then digits; no digits give 0.
long leadingNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value > (LONG_MAX - 9) / 10) return negative ? LONG_MIN : LONG_MAX;
    value = value * 10 + (text[i] - '0');
  }
  return negative ? -value : value;
}

}  // namespace

bool versionAtLeast21(std::string_view version) {
  if (version == "2.1") return true;
  if (version.find('.') == std::string_view::npos) return false;
  long major = leadingNumber(version.substr(0, 2));
  // A version as short as "." has no third character: its minor number reads as 0.
  long minor = leadingNumber(version.substr(std::min<std::size_t>(2, version.size())));
  return major > 2 || (major == 2 && minor >= 1);
}

}  // namespace quorvane
