// quorvane-cli: a command-line client of the server. Interactive: commands from standard input,
// the server's lines shown as they arrive. Scripted (--exec): the commands in order, then quit;
// the exit code says whether they all worked.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/CliClient.h"
#include "cli/CliCommand.h"
#include "cli/CliOptions.h"
#include "cli/InteractiveRun.h"
#include "cli/LineFormatter.h"
#include "cli/ScriptedRun.h"
#include "transport/SocketApi.h"

namespace {

int usageError(const std::string& error) {
  std::fprintf(stderr, "quorvane-cli: %s\n%s", error.c_str(), quorvane::CliOptions::usage());
  return quorvane::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quorvane;
  CliOptions options;
  std::string error;
  if (!options.parse(argc, argv, error)) return usageError(error);
  if (options.help) {
    std::fputs(CliOptions::usage(), stdout);
    return kExitOk;
  }
  // Every command is checked before anything is sent.
  std::vector<CliCommand> commands;
  for (const std::string& text : options.commands) {
    commands.push_back(CliCommand::parse(text));
    if (commands.back().kind() == CliCommand::Kind::Invalid) {
      return usageError("--exec \"" + LineFormatter::printable(text) +
                        "\": " + commands.back().error());
    }
  }
  quorvane::sys::startNetworking();
  CliClient client(options);
  // A script shows the answers to its commands, not the greeting and lists of the login.
  client.setQuiet(!commands.empty());
  if (!client.login()) {
    std::fprintf(stderr, "quorvane-cli: %s\n", client.failure().c_str());
    return kExitConnectionFailed;
  }
  client.setQuiet(false);
  if (commands.empty()) return InteractiveRun(client).run();
  return ScriptedRun(client, std::move(commands)).run();
}
