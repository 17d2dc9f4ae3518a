// The simplest correct voice relay, for comparison: one thread, one blocking recvfrom and one
// sendto per datagram. Answers the hello (kind 1) and forwards kind 5 as kind 4 to the address
// that the id in byte 4 registered with its hello.
//   relay-baseline PORT
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "transport/ThreadPriority.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: relay-baseline PORT\n");
    return 2;
  }
  // Scheduled as the server's voice thread is, so that the two compare on equal terms.
  quorvane::runThisThreadAhead();
  int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
  if (::bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    std::perror("bind");
    return 1;
  }
  static sockaddr_in registered[65536];
  static bool known[65536];
  std::uint8_t datagram[2048];
  for (;;) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ssize_t n = ::recvfrom(s, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&from),
                           &length);
    if (n != 150) continue;
    if (datagram[0] == 1) {
      int id = datagram[2] + 256 * datagram[3];
      registered[id] = from;
      known[id] = true;
      std::uint8_t reply[150] = {2, 2, datagram[2], datagram[3]};
      ::sendto(s, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
    } else if (datagram[0] == 5 && known[datagram[4]]) {
      datagram[0] = 4;
      ::sendto(s, datagram, 150, 0, reinterpret_cast<sockaddr*>(&registered[datagram[4]]),
               sizeof(sockaddr_in));
    }
  }
}
