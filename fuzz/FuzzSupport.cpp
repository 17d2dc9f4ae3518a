#include "FuzzSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace quorvane::fuzz {

namespace {

constexpr int kStartAttempts = 20;

// Printable bytes as they are, the rest as \xNN.
std::string visible(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    }
  }
  return out;
}

sockaddr_in loopback(int port, const char* text = "127.0.0.1") {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ::inet_pton(AF_INET, text, &address.sin_addr);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

// Binds a new socket of `type` to `text` on an ephemeral port; its port, or 0.
int bindEphemeral(int type, int& fd, const char* text = "127.0.0.1") {
  fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address = loopback(0, text);
  socklen_t length = sizeof address;
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  if (::bind(fd, raw, sizeof address) != 0 || ::getsockname(fd, raw, &length) != 0) return 0;
  return ntohs(address.sin_port);
}

int probePort(int type) {
  int fd = -1;
  const int port = bindEphemeral(type, fd);
  if (fd >= 0) ::close(fd);
  return port;
}

}  // namespace

void fail(const std::string& what, std::string_view bytes) {
  std::fprintf(stderr, "\n*** %s%s%s\n", what.c_str(), bytes.empty() ? "" : ": ",
               visible(bytes).c_str());
  std::abort();
}

bool makeSocketPair(int& serverEnd, int& peerEnd) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
  serverEnd = ends[0];
  peerEnd = ends[1];
  return true;
}

void makeTcpPair(const char* peerAddress, int& serverEnd, int& peerEnd) {
  int listener = -1;
  const int port = bindEphemeral(SOCK_STREAM, listener);
  if (port == 0 || ::listen(listener, 1) != 0) fail("no loopback listener for a TCP pair");
  const sockaddr_in target = loopback(port);
  if (bindEphemeral(SOCK_STREAM, peerEnd, peerAddress) == 0 ||
      ::connect(peerEnd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
    fail("no loopback TCP connection from", peerAddress);
  }
  serverEnd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ::close(listener);
  if (serverEnd < 0) fail("a loopback TCP connection was not accepted");
}

std::uint32_t readableNow(std::span<const int> fds) {
  pollfd entries[32];
  const std::size_t count = std::min<std::size_t>(fds.size(), 32);
  for (std::size_t i = 0; i < count; ++i) entries[i] = {fds[i], POLLIN, 0};
  std::uint32_t readable = 0;
  if (::poll(entries, count, 0) <= 0) return readable;
  for (std::size_t i = 0; i < count; ++i) {
    if (entries[i].revents != 0) readable |= 1u << i;
  }
  return readable;
}

bool readAvailable(int fd, std::string& out) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      out.append(buffer, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    }
  }
}

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

LoopbackUdp::LoopbackUdp(const char* address) {
  port_ = bindEphemeral(SOCK_DGRAM, fd_, address);
  if (port_ == 0) fail("no loopback UDP socket on", address);
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

LoopbackUdp::~LoopbackUdp() { ::close(fd_); }

bool LoopbackUdp::sendTo(int port, const std::uint8_t* bytes, std::size_t size) {
  const sockaddr_in address = loopback(port);
  return ::sendto(fd_, bytes, size, 0, reinterpret_cast<const sockaddr*>(&address),
                  sizeof address) == static_cast<ssize_t>(size);
}

bool LoopbackUdp::receive(std::string& out) {
  char buffer[4096];
  const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC);
  if (n < 0) return false;
  out.assign(buffer, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer));
  return true;
}

bool LoopbackUdp::waitReadable(int ms) {
  pollfd entry{fd_, POLLIN, 0};
  return ::poll(&entry, 1, ms) == 1;
}

std::unique_ptr<VoiceServer> startOnFreePorts(ReactorPool& pool,
                                              const std::function<void(VoiceServer&)>& configure,
                                              const Channel* staticRoot) {
  // Another process may take a probed port before the server binds it: try a few.
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    auto server = std::make_unique<VoiceServer>(pool, staticRoot);
    configure(*server);
    if (server->start(probePort(SOCK_STREAM), probePort(SOCK_DGRAM))) return server;
    server->stop();
  }
  fail("no server could be started on free ports");
}

}  // namespace quorvane::fuzz
