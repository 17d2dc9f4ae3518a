#include "support/TestClient.h"

#include <gtest/gtest.h>

#include "client/ClientCommands.h"
#include "client/VoiceDatagrams.h"

namespace quorvane::test {

namespace {

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
        waitReadable(to)) {
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
  Bytes bytes(kVoiceDatagramSize, 0);
  std::copy(head.begin(), head.end(), bytes.begin());
  return bytes;
}

TestClient::TestClient(int hostPort, int soundPort, std::string voiceAddress,
                       const std::string& tcpAddress) {
  ProtocolClient::Options options;
  options.hostPort = hostPort;
  options.soundPort = soundPort;
  options.voiceAddress = std::move(voiceAddress);
  // Where every datagram shows as from 127.0.0.1 (as under Wine), the connection comes from there
  // too, so that the server takes the client's hello as its own.
  options.connectionAddress = loopbackAddressesDistinct() ? tcpAddress : "127.0.0.1";
  options.autoLogin = false;
  if (!client_.open(options)) return;
  client_.waitUntil([this] { return client_.state() != ProtocolClient::State::Connecting; },
                    kPatience);
  // A server that accepts and closes at once may have closed it already.
  connected_ = client_.state() != ProtocolClient::State::Closed ||
               client_.lastError().rfind("connect", 0) != 0;
}

// Both wait until the kernel has taken every byte, as a blocking send does.
bool TestClient::sendLine(std::string_view line) {
  return client_.sendLine(line) &&
         client_.waitUntil([this] { return client_.pendingOutput() == 0; }, kPatience);
}

bool TestClient::sendRaw(std::string_view bytes) {
  return client_.sendBytes(bytes) &&
         client_.waitUntil([this] { return client_.pendingOutput() == 0; }, kPatience);
}

std::optional<std::string> TestClient::readLine(std::chrono::milliseconds timeout) {
  const std::uint64_t badBefore = client_.badLineEnds();
  std::optional<ServerLine> line = client_.nextLine(timeout);
  if (!line) return std::nullopt;
  if (client_.badLineEnds() != badBefore) ADD_FAILURE() << "line without CR LF: " << line->text();
  return line->text();
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
  if (!sendLine(kPingLine)) {
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
  return client_.waitUntil(
      [this] { return client_.state() == ProtocolClient::State::Closed; }, timeout);
}

bool TestClient::sendDatagram(const Bytes& bytes) { return client_.sendDatagram(bytes); }

bool TestClient::sendHello(int id, std::uint8_t confirm) {
  return sendDatagram(datagram({1, confirm, static_cast<std::uint8_t>(id & 0xFF),
                                static_cast<std::uint8_t>(id >> 8)}));
}

std::optional<Bytes> TestClient::readDatagram(std::chrono::milliseconds timeout) {
  return client_.nextDatagram(timeout);
}

std::optional<Bytes> TestClient::confirmVoice() {
  std::optional<Bytes> reply;
  for (int attempt = 0; attempt < 20 && !reply; ++attempt) {
    sendHello(id());
    reply = readDatagram(std::chrono::milliseconds(500));
  }
  return reply;
}

std::string TestClient::readWelcome() {
  welcomeRead_ = true;
  return nextLine();
}

std::vector<std::string> TestClient::login(const std::string& nick, const std::string& version,
                                           const std::string& password) {
  if (!welcomeRead_) readWelcome();
  sendLine(protocolLine(version));
  EXPECT_TRUE(confirmVoice().has_value()) << "no hello reply for user " << id();
  LoginDetails details;
  details.nick = nick;
  details.password = password;
  sendLine(connectLine(details));
  return linesBeforePong();
}

}  // namespace quorvane::test
