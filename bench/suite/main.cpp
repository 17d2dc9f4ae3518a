// quorvane-bench: measures the server against the two baselines on loopback and prints every
// scenario's figures with medians, ranges, ratios and targets. Exit code 0 when every run could
// be made, 1 when some could not, 2 for a wrong command line.
#include <cstdio>
#include <string>

#include "suite/BenchOptions.h"
#include "suite/BenchSuite.h"
#include "suite/Subject.h"
#include "transport/SocketApi.h"

int main(int argc, char** argv) {
  quorvane::BenchOptions options;
  std::string error;
  if (!options.parse(argc, argv, error)) {
    std::fprintf(stderr, "quorvane-bench: %s\n%s", error.c_str(),
                 quorvane::BenchOptions::usage());
    return 2;
  }
  quorvane::sys::startNetworking();
  // Before the capacity scenario raises the bench's own limit: the subjects get the machine's.
  quorvane::rememberMachineDescriptorLimit();
  quorvane::BenchSuite suite(options);
  return suite.run() ? 0 : 1;
}
