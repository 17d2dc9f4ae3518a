#include "suite/VoiceUsers.h"

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <optional>
#include <span>

#include "client/ClientCommands.h"
#include "client/VoiceDatagrams.h"
#include "suite/VoiceFlood.h"

namespace quorvane {

namespace {

constexpr int kHelloAttempts = 10;
constexpr auto kPatience = std::chrono::seconds(3);

}  // namespace

std::string voiceAddress(std::size_t index) { return "127.0.0." + std::to_string(2 + index); }

bool confirmHello(int fd, int id, const sockaddr_in& subject) {
  VoiceDatagram reply{};
  for (int attempt = 0; attempt < kHelloAttempts; ++attempt) {
    ::sendto(fd, helloDatagram(id).data(), kVoiceDatagramSize, 0,
             reinterpret_cast<const sockaddr*>(&subject), sizeof subject);
    pollfd readable{fd, POLLIN, 0};
    while (::poll(&readable, 1, 300) > 0) {
      const ssize_t n = ::recv(fd, reply.data(), reply.size(), MSG_DONTWAIT);
      if (n > 0 && isHelloReply(std::span(reply.data(), static_cast<std::size_t>(n)), id)) {
        return true;
      }
    }
  }
  return false;
}

bool logInFrom(const Subject& subject, const std::string& address, int fd, ProtocolClient& user,
               std::string& error) {
  ProtocolClient::Options options;
  options.hostPort = subject.hostPort();
  options.soundPort = subject.soundPort();
  options.connectionAddress = address;
  options.autoLogin = false;
  options.ownVoiceSocket = false;
  if (!user.open(options) || !user.nextLine(kPatience) || user.userId() == 0) {
    error = "a voice user got no welcome: " + user.lastError();
    return false;
  }
  const int id = user.userId();
  user.sendLine(protocolLine("2.1"));
  if (!confirmHello(fd, id, loopbackAddress("127.0.0.1", subject.soundPort()))) {
    error = "voice user " + std::to_string(id) + " got no hello reply";
    return false;
  }
  LoginDetails details;
  details.nick = "voice" + std::to_string(id);
  user.sendLine(connectLine(details));
  while (const std::optional<ServerLine> line = user.nextLine(kPatience)) {
    if (line->is("accepted")) return true;
    if (line->is("error")) break;
  }
  error = "voice user " + std::to_string(id) + " was not logged in: " + user.lastError();
  return false;
}

}  // namespace quorvane
