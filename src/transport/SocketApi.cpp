// The socket helpers that read the same on every platform.
#include "transport/SocketApi.h"

#include <cstring>

#ifndef _WIN32
#include <netdb.h>
#endif

namespace quorvane::sys {

bool parseDottedQuad(const std::string& text, in_addr& out) {
  // inet_addr would stop at an embedded NUL and accept the text before it; older Windows versions
  // also take an empty text as 0.0.0.0.
  if (text.empty() || text.find('\0') != std::string::npos) {
    return false;
  }
  auto value = ::inet_addr(text.c_str());
  if (value == INADDR_NONE) {
    return false;
  }
  out.s_addr = value;
  return true;
}

std::string dottedQuad(const in_addr& address) {
  char text[INET_ADDRSTRLEN] = {};
  if (::inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) {
    return std::string();
  }
  return text;
}

sockaddr_in resolveAddress(const std::string& text, int port) {
  sockaddr_in record{};
  if (text.empty() || port < 0 || port > 65535) {
    return record;
  }
  record.sin_family = AF_INET;
  record.sin_port = htons(static_cast<std::uint16_t>(port));
  if (parseDottedQuad(text, record.sin_addr)) {
    return record;
  }
  record.sin_addr.s_addr = INADDR_NONE;
  if (text.find('\0') != std::string::npos) {
    return record;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (::getaddrinfo(text.c_str(), nullptr, &hints, &found) == 0 && found != nullptr) {
    std::memcpy(&record.sin_addr, &reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr,
                sizeof record.sin_addr);
  }
  if (found != nullptr) {
    ::freeaddrinfo(found);
  }
  return record;
}

}  // namespace quorvane::sys
