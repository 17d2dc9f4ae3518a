// quorvane-load: drives many clients against a running server for a given time, checks
// everything they receive, and reports. Exit code 0 only when nothing was wrong.
#include <cstdio>
#include <string>

#include "client/OpenFileLimit.h"
#include "load/LoadOptions.h"
#include "load/LoadRun.h"
#include "transport/SocketApi.h"

int main(int argc, char** argv) {
  quorvane::LoadOptions options;
  std::string error;
  if (!options.parse(argc, argv, error)) {
    std::fprintf(stderr, "quorvane-load: %s\n%s", error.c_str(), quorvane::LoadOptions::usage());
    return 2;
  }
  quorvane::sys::startNetworking();
  quorvane::raiseOpenFileLimit();
  quorvane::LoadRun run(options);
  return run.run() ? 0 : 1;
}
