#include "support/TestClient.h"

#include <gtest/gtest.h>

#include "client/ClientCommands.h"
#include "client/VoiceDatagrams.h"
#include "transport/Socket.h"

namespace quorvane::test {

bool loopbackAddressesDistinct() {
  // Asked once: a datagram from a socket bound to 127.0.0.2 shows where it really comes from.
  static const bool distinct = [] {
    Socket from, to;
    std::string source;
    int port = 0;
    char byte = '?';
    return from.create(0, Socket::Datagram, "127.0.0.2") &&
           to.create(0, Socket::Datagram, "127.0.0.1") &&
           from.sendTo(&byte, 1, to.localPort(), "127.0.0.1") == 1 && waitReadable(to.sock()) &&
           to.receiveFrom(&byte, 1, source, port) == 1 && source == "127.0.0.2";
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
  if (!line->checkForm()) ADD_FAILURE() << "a line the server may not write: " << line->text();
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
