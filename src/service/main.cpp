// The process entry: the command line chooses what the process does (run as a service, in the
// console or in the background, or a management action) and its result is the exit code.
#include <cstdlib>  // defines __GLIBC__ where it applies
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "service/ServerService.h"
#include "transport/SocketApi.h"

int main(int argc, char** argv) {
#ifdef __GLIBC__
  // The event loops take turns under one lock, so a malloc arena for each of their threads
  // would buy nothing and would keep freed memory on every one of them.
  mallopt(M_ARENA_MAX, 2);
#endif
  quorvane::sys::startNetworking();
  int exitCode = 0;
  {
    quorvane::ServerService service;
    exitCode = service.processCommandLine(argc, argv);
    quorvane::sys::stopNetworking();
  }
  return exitCode;
}
