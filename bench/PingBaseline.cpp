// The simplest correct line server, for comparison: one thread, epoll, non-blocking sockets; it
// answers every "ping" line with "pong" and greets each connection with one line, as the server
// greets with "welcome".
//   ping-baseline PORT
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>

namespace {

struct Connection {
  std::string input;
  std::string output;
};

void setNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Writes what it can; false when the connection failed.
bool flush(int fd, Connection& c) {
  while (!c.output.empty()) {
    ssize_t n = ::send(fd, c.output.data(), c.output.size(), MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN;
    c.output.erase(0, static_cast<std::size_t>(n));
  }
  return true;
}

// Reads what is there and answers each complete line; false when the connection ended.
bool serve(int fd, Connection& c) {
  char buffer[4096];
  for (;;) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n == 0) return false;
    if (n < 0) break;
    c.input.append(buffer, static_cast<std::size_t>(n));
  }
  if (errno != EAGAIN) return false;
  std::size_t start = 0, end;
  while ((end = c.input.find('\n', start)) != std::string::npos) {
    if (c.input.compare(start, 4, "ping") == 0) c.output += "pong\r\n";
    start = end + 1;
  }
  c.input.erase(0, start);
  return flush(fd, c);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: ping-baseline PORT\n");
    return 2;
  }
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
  if (::bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::listen(listener, SOMAXCONN) != 0) {
    std::perror("listen");
    return 1;
  }
  setNonBlocking(listener);
  int poller = ::epoll_create1(0);
  epoll_event event{EPOLLIN, {.fd = listener}};
  ::epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);
  std::unordered_map<int, Connection> connections;
  epoll_event ready[256];
  for (;;) {
    int count = ::epoll_wait(poller, ready, 256, -1);
    for (int i = 0; i < count; ++i) {
      int fd = ready[i].data.fd;
      if (fd == listener) {
        int client;
        while ((client = ::accept(listener, nullptr, nullptr)) >= 0) {
          setNonBlocking(client);
          ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
          Connection& c = connections[client];
          c.output = "welcome\r\n";
          flush(client, c);
          epoll_event add{EPOLLIN | EPOLLOUT | EPOLLET, {.fd = client}};
          ::epoll_ctl(poller, EPOLL_CTL_ADD, client, &add);
        }
        continue;
      }
      Connection& c = connections[fd];
      bool alive = (ready[i].events & EPOLLIN) ? serve(fd, c) : flush(fd, c);
      if (!alive || (ready[i].events & (EPOLLERR | EPOLLHUP))) {
        ::close(fd);
        connections.erase(fd);
      }
    }
  }
}
