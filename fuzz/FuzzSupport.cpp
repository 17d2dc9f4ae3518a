#include "FuzzSupport.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "transport/ReactorPool.h"

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

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

// Binds a new socket of `type` to 127.0.0.1 on an ephemeral port; its port, or 0.
int bindEphemeral(int type, int& fd) {
  fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address = loopback(0);
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

bool readableNow(int fd) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, 0) == 1 && entry.revents != 0;
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

LoopCall::LoopCall() {
  if (!makeSocketPair(readable_, writer_)) fail("no socketpair for the loop call");
  writeAll(writer_, "x");
}

// Each run's call ends the registration, so there is nothing to unregister.
LoopCall::~LoopCall() {
  ::close(readable_);
  ::close(writer_);
}

void LoopCall::run(std::function<void()> work) {
  work_ = std::move(work);
  done_ = false;
  ReactorPool& pool = ReactorPool::instance();
  pool.registerHandler(this, EventMask::Read);
  {
    std::unique_lock<std::mutex> lock(mutex_);
    doneChanged_.wait(lock, [this] { return done_; });
  }
  // The loop holds the pool lock until it has left the call and run the deferred releases.
  std::lock_guard<std::recursive_mutex> passOver(pool.mutex());
  work_ = nullptr;
}

bool LoopCall::handleInput() {
  work_();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  doneChanged_.notify_all();
  // One call per run: the registration goes.
  return false;
}

LoopbackUdp::LoopbackUdp() {
  port_ = bindEphemeral(SOCK_DGRAM, fd_);
  if (port_ == 0) fail("no loopback UDP socket");
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

std::unique_ptr<VoiceServer> startOnFreePorts(const std::function<void(VoiceServer&)>& configure,
                                              const Channel* staticRoot) {
  // Another process may take a probed port before the server binds it: try a few.
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    auto server = std::make_unique<VoiceServer>(staticRoot);
    configure(*server);
    if (server->start(probePort(SOCK_STREAM), probePort(SOCK_DGRAM))) return server;
    server->stop();
  }
  fail("no server could be started on free ports");
}

}  // namespace quorvane::fuzz
