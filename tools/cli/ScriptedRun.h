// The scripted session: runs the --exec commands in order, each until the server has answered
// it, shows the answers, stops at the first command that failed, and quits. Used on one thread.
#pragma once

#include <vector>

#include "cli/CliClient.h"
#include "cli/CliCommand.h"

namespace quorvane {

class ScriptedRun {
 public:
  ScriptedRun(CliClient& client, std::vector<CliCommand> commands)
      : client_(client), commands_(std::move(commands)) {}

  // The exit code: 0 when every command worked, 1 when one failed, 3 or 4 when the server did
  // not answer or went away.
  int run();

 private:
  // -1 when the command worked, otherwise the exit code.
  int execute(const CliCommand& command);

  CliClient& client_;
  std::vector<CliCommand> commands_;
};

}  // namespace quorvane
