#include "FuzzSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

void MemoryPipe::clientWrite(std::string_view bytes) {
  if (!clientShut_ && !serverClosed_) toServer_.append(bytes);
}

bool MemoryPipe::clientRead(std::string& out) {
  out.append(toClient_);
  toClient_.clear();
  return serverWriteShut_ || serverClosed_;
}

int MemoryPipe::serverReceive(void* buffer, int length) {
  const std::size_t waiting = toServer_.size() - toServerRead_;
  if (serverReadShut_ || length <= 0 || (waiting == 0 && clientShut_)) return 0;
  if (waiting == 0) {
    errno = EAGAIN;
    return -1;
  }
  const std::size_t n = std::min(waiting, static_cast<std::size_t>(length));
  std::memcpy(buffer, toServer_.data() + toServerRead_, n);
  toServerRead_ += n;
  if (toServerRead_ == toServer_.size()) {
    toServer_.clear();
    toServerRead_ = 0;
  }
  return static_cast<int>(n);
}

long MemoryPipe::serverSend(const sys::SendSlice* slices, int count) {
  if (serverWriteShut_ || serverClosed_ || clientClosed_) {
    errno = EPIPE;
    return -1;
  }
  long sent = 0;
  for (int i = 0; i < count; ++i) {
    toClient_.append(slices[i].data, slices[i].length);
    sent += static_cast<long>(slices[i].length);
  }
  return sent;
}

void MemoryPipe::serverShutdown(int how) {
  if (how == 0 || how == 2) serverReadShut_ = true;
  if (how == 1 || how == 2) serverWriteShut_ = true;
}

MemoryConnection::MemoryConnection(ReactorPool& pool, std::shared_ptr<MemoryPipe> pipe)
    : ClientConnection(pool), pipe_(std::move(pipe)) {
  static const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  sock_ = ::fcntl(devNull, F_DUPFD_CLOEXEC, 0);
  if (sock_ < 0) fail("no descriptor for a connection in memory");
}

bool MemoryConnection::close() {
  pipe_->serverClose();
  return ClientConnection::close();
}

bool MemoryConnection::shutdown(int how) {
  if (handle() == kNoSocket) return false;
  pipe_->serverShutdown(how);
  return true;
}

int MemoryConnection::receive(void* buffer, int length) {
  return pipe_->serverReceive(buffer, length);
}

long MemoryConnection::sendGathered(const sys::SendSlice* slices, int count) {
  return pipe_->serverSend(slices, count);
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
  // A signal (libFuzzer's alarm of its time-out check, say) ends a poll early: wait on for the
  // time left.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  pollfd entry{fd_, POLLIN, 0};
  for (;;) {
    const int ready = ::poll(&entry, 1, ms);
    if (ready >= 0 || errno != EINTR) return ready == 1;
    const auto left = until - std::chrono::steady_clock::now();
    ms = static_cast<int>(std::max<std::int64_t>(
        std::chrono::ceil<std::chrono::milliseconds>(left).count(), 0));
  }
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
