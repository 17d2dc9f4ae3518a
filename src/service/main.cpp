// The process entry: the command line chooses what the process does (run as a service, in the
// console or in the background, or a management action) and its result is the exit code.
#include "service/ServerService.h"
#include "transport/SocketApi.h"

int main(int argc, char** argv) {
  quorvane::sys::startNetworking();
  int exitCode = 0;
  {
    quorvane::ServerService service;
    exitCode = service.processCommandLine(argc, argv);
    quorvane::sys::stopNetworking();
  }
  return exitCode;
}
