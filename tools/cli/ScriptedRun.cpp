#include "cli/ScriptedRun.h"

#include <cstdio>
#include <string>

#include "cli/LineFormatter.h"

namespace quorvane {

namespace {

constexpr int kWorked = -1;

void complain(const std::string& text) { std::fprintf(stderr, "quorvane-cli: %s\n", text.c_str()); }

}  // namespace

int ScriptedRun::run() {
  for (const CliCommand& command : commands_) {
    if (command.kind() == CliCommand::Kind::Quit) break;
    const int result = execute(command);
    if (result != kWorked) {
      client_.quit();
      return result;
    }
  }
  client_.quit();
  return kExitOk;
}

int ScriptedRun::execute(const CliCommand& command) {
  if (command.kind() == CliCommand::Kind::Who || command.kind() == CliCommand::Kind::Channels) {
    const auto lines = command.kind() == CliCommand::Kind::Who
                           ? LineFormatter::members(client_.session())
                           : LineFormatter::channels(client_.session());
    for (const std::string& line : lines) client_.print(line);
    return kWorked;
  }
  const int errorsBefore = client_.errorCount();
  client_.send(command.protocolLine(client_.session().channel()), command.isPing());
  // The server answers in order: once this pong is in, so is everything the command caused.
  const std::uint64_t barrier = client_.sendBarrier();
  if (!client_.waitUntil([&] { return client_.answered(barrier); })) {
    if (client_.closed()) {
      complain(client_.closedMessage());
      return kExitServerGone;
    }
    complain("no answer from the server within " + client_.timeoutText());
    return kExitConnectionFailed;
  }
  if (client_.errorCount() != errorsBefore) {
    complain("\"" + LineFormatter::printable(command.text()) + "\" failed: " + client_.lastError());
    return kExitCommandFailed;
  }
  return kWorked;
}

}  // namespace quorvane
