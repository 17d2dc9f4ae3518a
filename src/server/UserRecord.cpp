#include "server/UserRecord.h"

#include <charconv>

namespace quorvane {

std::uint32_t UserRecord::addressNumber(std::string_view address) {
  std::uint32_t number = 0;
  for (int part = 0; part < 4; ++part) {
    unsigned value = 0;
    auto [next, error] = std::from_chars(address.data(), address.data() + address.size(), value);
    if (error != std::errc() || value > 255) return 0;
    number = number << 8 | value;
    address.remove_prefix(static_cast<std::size_t>(next - address.data()));
    if (part < 3) {
      if (address.empty() || address.front() != '.') return 0;
      address.remove_prefix(1);
    }
  }
  return address.empty() ? number : 0;
}

std::string UserRecord::addressText(std::uint32_t number) {
  return std::to_string(number >> 24) + "." + std::to_string(number >> 16 & 0xFF) + "." +
         std::to_string(number >> 8 & 0xFF) + "." + std::to_string(number & 0xFF);
}

}  // namespace quorvane
