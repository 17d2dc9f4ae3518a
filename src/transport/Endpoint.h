// An IPv4 address and a port, both in host order: where a datagram comes from or goes to. A
// plain value; 0.0.0.0 port 0 means none.
#pragma once

#include <cstdint>
#include <string>

namespace quorvane {

struct Endpoint {
  std::uint32_t address = 0;
  std::uint16_t port = 0;

  bool operator==(const Endpoint&) const = default;
  // Address and port as one number, for tables.
  std::uint64_t key() const { return std::uint64_t{address} << 16 | port; }
  // w.x.y.z.
  std::string addressText() const;
  // The endpoint of a dotted quad and a port; none when either is not valid.
  static Endpoint of(const std::string& address, int port);
};

}  // namespace quorvane
