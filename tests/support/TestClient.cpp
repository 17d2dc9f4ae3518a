#include "support/TestClient.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <netinet/tcp.h>
#include <poll.h>
#endif

namespace quorvane::test {

namespace {

constexpr std::size_t kDatagramBytes = 150;

// Waits until the socket is readable or the time-out passes.
bool readable(SocketHandle s, std::chrono::milliseconds timeout) {
#ifdef _WIN32
  fd_set set;
  FD_ZERO(&set);
  FD_SET(sys::native(s), &set);
  timeval tv{static_cast<long>(timeout.count() / 1000), static_cast<long>(timeout.count() % 1000) * 1000};
  return ::select(0, &set, nullptr, nullptr, &tv) > 0;
#else
  pollfd p{sys::native(s), POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(timeout.count())) > 0;
#endif
}

sockaddr_in loopback(const std::string& address, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  return a;
}

}  // namespace

bool loopbackAddressesDistinct() {
  // Asked once: a datagram from a socket bound to 127.0.0.2 shows where it really comes from.
  static const bool distinct = [] {
    SocketHandle from = static_cast<SocketHandle>(::socket(AF_INET, SOCK_DGRAM, 0));
    SocketHandle to = static_cast<SocketHandle>(::socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in source = loopback("127.0.0.2", 0);
    sockaddr_in target = loopback("127.0.0.1", 0);
    sys::socklen_type length = sizeof target;
    bool seen = false;
    if (::bind(sys::native(from), reinterpret_cast<sockaddr*>(&source), sizeof source) == 0 &&
        ::bind(sys::native(to), reinterpret_cast<sockaddr*>(&target), sizeof target) == 0 &&
        ::getsockname(sys::native(to), reinterpret_cast<sockaddr*>(&target), &length) == 0 &&
        ::sendto(sys::native(from), "?", 1, 0, reinterpret_cast<sockaddr*>(&target),
                 sizeof target) == 1 &&
        readable(to, kPatience)) {
      char byte;
      length = sizeof source;
      seen = ::recvfrom(sys::native(to), &byte, 1, 0, reinterpret_cast<sockaddr*>(&source),
                        &length) == 1 &&
             source.sin_addr.s_addr == loopback("127.0.0.2", 0).sin_addr.s_addr;
    }
    if (from != kNoSocket) sys::closeSocket(from);
    if (to != kNoSocket) sys::closeSocket(to);
    return seen;
  }();
  return distinct;
}

Bytes datagram(std::initializer_list<std::uint8_t> head) {
  Bytes bytes(kDatagramBytes, 0);
  std::copy(head.begin(), head.end(), bytes.begin());
  return bytes;
}

TestClient::TestClient(int hostPort, int soundPort, std::string voiceAddress,
                       const std::string& tcpAddress)
    : soundPort_(soundPort), voiceAddress_(std::move(voiceAddress)) {
  SocketHandle tcp = static_cast<SocketHandle>(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in server = loopback("127.0.0.1", hostPort);
  // Where every datagram shows as from 127.0.0.1 (as under Wine), the connection comes from there
  // too, so that the server takes the client's hello as its own.
  const std::string tcpFrom = !loopbackAddressesDistinct() ? std::string("127.0.0.1")
                              : tcpAddress.empty()         ? voiceAddress_
                                                           : tcpAddress;
  sockaddr_in from = loopback(tcpFrom, 0);
  if (tcp != kNoSocket &&
      ::bind(sys::native(tcp), reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
      ::connect(sys::native(tcp), reinterpret_cast<sockaddr*>(&server), sizeof server) == 0) {
    tcp_ = tcp;
    // A request and the ping behind it go out at once, not after a delayed acknowledgement.
    int on = 1;
    ::setsockopt(sys::native(tcp_), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                 sizeof on);
  } else if (tcp != kNoSocket) {
    sys::closeSocket(tcp);
  }
  udp_ = static_cast<SocketHandle>(::socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in local = loopback(voiceAddress_, 0);
  sys::socklen_type length = sizeof local;
  if (udp_ != kNoSocket &&
      ::bind(sys::native(udp_), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
      ::getsockname(sys::native(udp_), reinterpret_cast<sockaddr*>(&local), &length) == 0) {
    voicePort_ = ntohs(local.sin_port);
  }
}

int TestClient::tcpPort() const {
  sockaddr_in local{};
  sys::socklen_type length = sizeof local;
  if (::getsockname(sys::native(tcp_), reinterpret_cast<sockaddr*>(&local), &length) != 0) return -1;
  return ntohs(local.sin_port);
}

TestClient::~TestClient() {
  if (tcp_ != kNoSocket) sys::closeSocket(tcp_);
  if (udp_ != kNoSocket) sys::closeSocket(udp_);
}

bool TestClient::sendRaw(std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    int n = ::send(sys::native(tcp_), bytes.data() + done, static_cast<int>(bytes.size() - done),
                   sys::sendFlags());
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool TestClient::sendLine(std::string_view line) {
  return sendRaw(std::string(line) + "\r\n");
}

bool TestClient::fill(std::chrono::milliseconds timeout) {
  if (closed_ || !readable(tcp_, timeout)) return false;
  char chunk[4096];
  int n = ::recv(sys::native(tcp_), chunk, sizeof chunk, 0);
  if (n <= 0) {
    closed_ = true;
    return false;
  }
  buffer_.append(chunk, static_cast<std::size_t>(n));
  return true;
}

std::optional<std::string> TestClient::readLine(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::size_t end = buffer_.find('\n');
    if (end != std::string::npos) {
      std::string line = buffer_.substr(0, end + 1);
      buffer_.erase(0, end + 1);
      if (line.size() < 2 || line[line.size() - 2] != '\r') {
        ADD_FAILURE() << "line without CR LF: " << line;
        line.pop_back();
        return line;
      }
      line.resize(line.size() - 2);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !fill(left)) return std::nullopt;
  }
}

std::string TestClient::nextLine() {
  std::optional<std::string> line = readLine();
  if (!line) {
    ADD_FAILURE() << "expected a line from the server, got none";
    return "<none>";
  }
  return *line;
}

std::vector<std::string> TestClient::linesBeforePong() {
  std::vector<std::string> lines;
  if (!sendLine("ping")) {
    ADD_FAILURE() << "could not send ping";
    return lines;
  }
  for (;;) {
    std::optional<std::string> line = readLine();
    if (!line) {
      ADD_FAILURE() << "no pong";
      return lines;
    }
    if (*line == "pong") return lines;
    lines.push_back(*line);
  }
}

std::vector<std::string> TestClient::request(std::string_view line) {
  if (!sendLine(line)) ADD_FAILURE() << "could not send: " << line;
  return linesBeforePong();
}

bool TestClient::waitClosed(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!closed_) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    fill(left);
  }
  return true;
}

bool TestClient::sendDatagram(const Bytes& bytes) {
  sockaddr_in server = loopback("127.0.0.1", soundPort_);
  int n = ::sendto(sys::native(udp_), reinterpret_cast<const char*>(bytes.data()),
                   static_cast<int>(bytes.size()), 0, reinterpret_cast<sockaddr*>(&server),
                   sizeof server);
  return n == static_cast<int>(bytes.size());
}

bool TestClient::sendHello(int id, std::uint8_t confirm) {
  return sendDatagram(datagram({1, confirm, static_cast<std::uint8_t>(id & 0xFF),
                                static_cast<std::uint8_t>(id >> 8)}));
}

std::optional<Bytes> TestClient::readDatagram(std::chrono::milliseconds timeout) {
  if (!readable(udp_, timeout)) return std::nullopt;
  Bytes bytes(2048);
  int n = ::recv(sys::native(udp_), reinterpret_cast<char*>(bytes.data()),
                 static_cast<int>(bytes.size()), 0);
  if (n < 0) return std::nullopt;
  bytes.resize(static_cast<std::size_t>(n));
  return bytes;
}

std::optional<Bytes> TestClient::confirmVoice() {
  std::optional<Bytes> reply;
  for (int attempt = 0; attempt < 20 && !reply; ++attempt) {
    sendHello(id_);
    reply = readDatagram(std::chrono::milliseconds(500));
  }
  return reply;
}

std::string TestClient::readWelcome() {
  std::string line = nextLine();
  const std::string prefix = "welcome id=";
  if (line.rfind(prefix, 0) == 0) id_ = std::atoi(line.c_str() + prefix.size());
  return line;
}

std::vector<std::string> TestClient::login(const std::string& nick, const std::string& version,
                                           const std::string& password) {
  if (id_ == 0) readWelcome();
  sendLine("protocol version=\"" + version + "\"");
  EXPECT_TRUE(confirmVoice().has_value()) << "no hello reply for user " << id_;
  sendLine("connect nick=\"" + nick + "\" password=\"" + password +
           "\" bandmode=1 framesize=320 encodedframesize=20 fpp=2");
  return linesBeforePong();
}

}  // namespace quorvane::test
