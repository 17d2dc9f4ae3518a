#include "suite/SharedVoice.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <deque>

#include "client/VoiceDatagrams.h"

namespace quorvane {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kResendAfter = std::chrono::milliseconds(200);
constexpr int kReceiveBuffer = 4 << 20;

}  // namespace

SharedVoice::~SharedVoice() {
  for (const int fd : sockets_) ::close(fd);
}

bool SharedVoice::open(const std::vector<std::string>& localAddresses, int soundPort) {
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<std::uint16_t>(soundPort));
  ::inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
  for (const std::string& address : localAddresses) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockets_.push_back(fd);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
      return false;
    }
  }
  return true;
}

void SharedVoice::send(const Hello& hello) {
  ::send(sockets_[hello.socket], helloDatagram(hello.id).data(), kVoiceDatagramSize, 0);
}

std::size_t SharedVoice::readReplies(std::vector<char>& answered) {
  std::size_t fresh = 0;
  VoiceDatagram reply{};
  for (const int fd : sockets_) {
    for (;;) {
      const ssize_t n = ::recv(fd, reply.data(), reply.size(), 0);
      if (n < 0) break;
      if (n != static_cast<ssize_t>(kVoiceDatagramSize) || reply[0] != kHelloReplyKind) continue;
      const int id = reply[2] + 256 * reply[3];
      if (isHelloReply(reply, id) && id < static_cast<int>(answered.size()) && !answered[id]) {
        answered[id] = 1;
        ++fresh;
      }
    }
  }
  return fresh;
}

std::size_t SharedVoice::confirm(const std::vector<Hello>& hellos, std::size_t window,
                                 Clock::time_point deadline) {
  std::vector<char> answered(65536, 0);
  std::vector<pollfd> readable;
  for (const int fd : sockets_) readable.push_back({fd, POLLIN, 0});
  // Each hello waits here with the time it was last sent.
  std::deque<std::pair<Hello, Clock::time_point>> waiting;
  std::size_t next = 0, done = 0;
  while (done < hellos.size() && Clock::now() < deadline) {
    while (waiting.size() < window && next < hellos.size()) {
      send(hellos[next]);
      waiting.emplace_back(hellos[next++], Clock::now());
    }
    ::poll(readable.data(), readable.size(), 10);
    done += readReplies(answered);
    const Clock::time_point now = Clock::now();
    for (std::size_t k = waiting.size(); k > 0; --k) {
      auto [hello, sent] = waiting.front();
      waiting.pop_front();
      if (answered[hello.id]) continue;
      if (now - sent >= kResendAfter) {
        send(hello);
        sent = now;
      }
      waiting.emplace_back(hello, sent);
    }
  }
  return done;
}

}  // namespace quorvane
