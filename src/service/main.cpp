// The process entry: the command line chooses what the process does (run as a service, in the
// console or in the background, or a management action) and its result is the exit code.
#include "service/ServerService.h"
#include "transport/ReactorPool.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <csignal>
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
  // Version 2.2, not 1.1: name lookup goes through getaddrinfo, which needs Windows Sockets 2.
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
#else
  // A client that goes away must not end the process.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  int exitCode = 0;
  {
    quorvane::ServerService service;
    exitCode = service.processCommandLine(argc, argv);
    quorvane::ReactorPool::instance().stopAll();
#ifdef _WIN32
    WSACleanup();
#endif
  }
  return exitCode;
}
