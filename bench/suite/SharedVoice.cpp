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
  if (fd_ >= 0) ::close(fd_);
}

bool SharedVoice::open(const std::string& localAddress, int soundPort) {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<std::uint16_t>(soundPort));
  ::inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
  return fd_ >= 0 && ::inet_pton(AF_INET, localAddress.c_str(), &local.sin_addr) == 1 &&
         ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
         ::connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0;
}

std::size_t SharedVoice::readReplies(std::vector<char>& answered) {
  std::size_t fresh = 0;
  VoiceDatagram reply{};
  for (;;) {
    const ssize_t n = ::recv(fd_, reply.data(), reply.size(), 0);
    if (n < 0) return fresh;
    if (n != static_cast<ssize_t>(kVoiceDatagramSize) || reply[0] != kHelloReplyKind) continue;
    const int id = reply[2] + 256 * reply[3];
    if (isHelloReply(reply, id) && id < static_cast<int>(answered.size()) && !answered[id]) {
      answered[id] = 1;
      ++fresh;
    }
  }
}

std::size_t SharedVoice::confirm(const std::vector<int>& ids, std::size_t window,
                                 Clock::time_point deadline) {
  std::vector<char> answered(65536, 0);
  // Each id waits here with the time its hello was last sent.
  std::deque<std::pair<int, Clock::time_point>> waiting;
  std::size_t next = 0, done = 0;
  while (done < ids.size() && Clock::now() < deadline) {
    while (waiting.size() < window && next < ids.size()) {
      ::send(fd_, helloDatagram(ids[next]).data(), kVoiceDatagramSize, 0);
      waiting.emplace_back(ids[next++], Clock::now());
    }
    pollfd readable{fd_, POLLIN, 0};
    ::poll(&readable, 1, 10);
    done += readReplies(answered);
    const Clock::time_point now = Clock::now();
    for (std::size_t k = waiting.size(); k > 0; --k) {
      auto [id, sent] = waiting.front();
      waiting.pop_front();
      if (answered[id]) continue;
      if (now - sent >= kResendAfter) {
        ::send(fd_, helloDatagram(id).data(), kVoiceDatagramSize, 0);
        sent = now;
      }
      waiting.emplace_back(id, sent);
    }
  }
  return done;
}

}  // namespace quorvane
