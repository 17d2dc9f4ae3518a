// quorvane-attack: measures what one attacking address can do to a server and its other users
// on loopback, and prints the figures. Exit code 0 when every measurement could be made, whatever
// the targets say; 1 when one could not; 2 for a wrong command line.
#include <cstdio>
#include <string>

#include "attack/AttackOptions.h"
#include "attack/AttackRun.h"
#include "client/OpenFileLimit.h"
#include "suite/Subject.h"
#include "transport/SocketApi.h"

int main(int argc, char** argv) {
  quorvane::AttackOptions options;
  std::string error;
  if (!options.parse(argc, argv, error)) {
    std::fprintf(stderr, "quorvane-attack: %s\n%s", error.c_str(),
                 quorvane::AttackOptions::usage());
    return 2;
  }
  quorvane::sys::startNetworking();
  // The started server gets the machine's limit (lowered to --server-files), not this one's.
  quorvane::rememberMachineDescriptorLimit();
  quorvane::raiseOpenFileLimit();
  quorvane::AttackRun run(options);
  return run.run() ? 0 : 1;
}
