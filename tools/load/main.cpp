// quorvane-load: drives many clients against a running server for a given time, checks
// everything they receive, and reports. Exit code 0 only when nothing was wrong.
#include <sys/resource.h>

#include <cstdio>
#include <string>

#include "load/LoadOptions.h"
#include "load/LoadRun.h"
#include "transport/SocketApi.h"

namespace {

// Two descriptors per client and some to spare: take what the hard limit allows.
void raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  quorvane::LoadOptions options;
  std::string error;
  if (!options.parse(argc, argv, error)) {
    std::fprintf(stderr, "quorvane-load: %s\n%s", error.c_str(), quorvane::LoadOptions::usage());
    return 2;
  }
  quorvane::sys::startNetworking();
  raiseDescriptorLimit();
  quorvane::LoadRun run(options);
  return run.run() ? 0 : 1;
}
