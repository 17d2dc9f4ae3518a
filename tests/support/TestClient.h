// The tests' client: a ProtocolClient without automatic login, with blocking reads that report a
// missing line, a line without CR LF or one of a layout the server never writes as a test
// failure. Every wait is bounded.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/ProtocolClient.h"
#include "support/WaitFor.h"

namespace quorvane::test {

using Bytes = std::vector<std::uint8_t>;

class TestClient {
 public:
  // Connects to 127.0.0.1:hostPort from `tcpAddress` (the voice address when empty), as a real
  // client comes from one host; the voice socket is bound to voiceAddress, any port.
  TestClient(int hostPort, int soundPort, std::string voiceAddress = "127.0.0.2",
             const std::string& tcpAddress = std::string());

  // The TCP connection was made (the server may have closed it since).
  bool connected() const { return connected_; }
  int voicePort() const { return client_.voicePort(); }
  // The local port of the TCP connection, as the server sees it.
  int tcpPort() const { return client_.connectionPort(); }
  const std::string& voiceAddress() const { return client_.voiceAddress(); }

  bool sendLine(std::string_view line);
  // Sends the bytes as they are.
  bool sendRaw(std::string_view bytes);
  // The next line without its CR LF; nothing when the time-out passes or the connection ended.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = kPatience);
  // The next line, or "<none>" (and a test failure) when none comes.
  std::string nextLine();
  // Sends "ping" and returns every line that arrives before its "pong": everything the server
  // queued for this client before it read the ping.
  std::vector<std::string> linesBeforePong();
  // Sends the line and returns what linesBeforePong returns after it: the complete answer.
  std::vector<std::string> request(std::string_view line);
  // True when the server closes the connection (after any lines still in flight) in time.
  bool waitClosed(std::chrono::milliseconds timeout = kPatience);

  bool sendDatagram(const Bytes& datagram);
  // A hello (kind 1) for `id` with the given byte 1.
  bool sendHello(int id, std::uint8_t confirm = 2);
  std::optional<Bytes> readDatagram(std::chrono::milliseconds timeout = kPatience);
  // Repeats the hello for id() until the server answers; the answer, or nothing after 20 tries.
  std::optional<Bytes> confirmVoice();

  // Reads the next line, the "welcome" (the client remembers its id).
  std::string readWelcome();
  int id() const { return client_.userId(); }
  // readWelcome unless called before, then protocol, voice hello (and its reply), connect: the
  // lines up to the ping barrier after "connect", starting with "accepted".
  std::vector<std::string> login(const std::string& nick, const std::string& version = "2.1",
                                 const std::string& password = "");

 private:
  ProtocolClient client_;
  bool connected_ = false;
  bool welcomeRead_ = false;
};

// False where a socket bound to 127.0.0.2 ends up on 127.0.0.1 (Wine does this): there every
// test client's voice address is 127.0.0.1, so every client is local to the server.
bool loopbackAddressesDistinct();

// A 150-byte datagram whose first bytes are the given ones, the rest zero.
Bytes datagram(std::initializer_list<std::uint8_t> head);

}  // namespace quorvane::test
