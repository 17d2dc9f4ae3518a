#include "transport/Endpoint.h"

#include "transport/SocketApi.h"

namespace quorvane {

std::string Endpoint::addressText() const {
  return std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 0xFF) + "." +
         std::to_string(address >> 8 & 0xFF) + "." + std::to_string(address & 0xFF);
}

Endpoint Endpoint::of(const std::string& address, int port) {
  in_addr parsed{};
  if (port < 0 || port > 65535 || !sys::parseDottedQuad(address, parsed)) return Endpoint{};
  return Endpoint{ntohl(parsed.s_addr), static_cast<std::uint16_t>(port)};
}

}  // namespace quorvane
