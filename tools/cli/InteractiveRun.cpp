#include "cli/InteractiveRun.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "cli/LineFormatter.h"

namespace quorvane {

namespace {

void complain(const std::string& text) { std::fprintf(stderr, "quorvane-cli: %s\n", text.c_str()); }

// The commands whose result depends on the answers to the commands before them.
bool readsSession(const CliCommand& command) {
  return command.kind() == CliCommand::Kind::Who || command.kind() == CliCommand::Kind::Channels ||
         command.kind() == CliCommand::Kind::Kick;
}

}  // namespace

int InteractiveRun::run() {
  Clock::time_point nextPing = Clock::now() + client_.options().pingInterval;
  while (!quitting_ && !client_.closed()) {
    serve(nextPing);
    runCommands();
    const Clock::time_point now = Clock::now();
    if (awaiting_ != 0 && now - awaitingSince_ > client_.options().timeout) {
      complain("no answer from the server within " + client_.timeoutText());
      return kExitConnectionFailed;
    }
    if (now >= nextPing && !client_.closed()) {
      client_.sendKeepAlive();
      nextPing = now + client_.options().pingInterval;
    }
  }
  return finish();
}

// One wait for standard input or the sockets, at the latest until `until`.
void InteractiveRun::serve(Clock::time_point until) {
  ProtocolClient& protocol = client_.protocol();
  pollfd fds[3] = {{inputOpen_ ? STDIN_FILENO : -1, POLLIN, 0},
                   {protocol.tcpSocket(), POLLIN, 0},
                   {protocol.udpSocket(), POLLIN, 0}};
  if (protocol.pendingOutput() != 0) fds[1].events |= POLLOUT;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
  const int wait = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 1000));
  if (::poll(fds, 3, wait) <= 0) return;
  if (fds[1].revents != 0) {
    const bool failed = (fds[1].revents & (POLLERR | POLLHUP)) != 0;
    protocol.onTcpReady(failed || (fds[1].revents & POLLIN) != 0,
                        failed || (fds[1].revents & POLLOUT) != 0);
  }
  if ((fds[2].revents & POLLIN) != 0) protocol.onUdpReadable();
  if (fds[0].revents != 0) readInput();
}

void InteractiveRun::readInput() {
  char chunk[4096];
  const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n > 0) {
    input_.append(chunk, static_cast<std::size_t>(n));
    return;
  }
  // A last line without its line feed still counts.
  if (!input_.empty() && !input_.ends_with('\n')) input_ += '\n';
  inputOpen_ = false;
}

void InteractiveRun::runCommands() {
  while (!quitting_ && !client_.closed()) {
    if (awaiting_ != 0 && !client_.answered(awaiting_)) return;
    awaiting_ = 0;
    const std::size_t end = input_.find('\n');
    if (end == std::string::npos) {
      quitting_ = !inputOpen_;
      return;
    }
    std::string_view text = std::string_view(input_).substr(0, end);
    if (text.ends_with('\r')) text.remove_suffix(1);
    if (text.find_first_not_of(' ') == std::string_view::npos) {
      input_.erase(0, end + 1);
      continue;
    }
    const CliCommand command = CliCommand::parse(text);
    if (readsSession(command) && unanswered_) {
      awaiting_ = client_.sendBarrier();
      awaitingSince_ = Clock::now();
      unanswered_ = false;
      return;
    }
    input_.erase(0, end + 1);
    execute(command);
  }
}

void InteractiveRun::execute(const CliCommand& command) {
  switch (command.kind()) {
    case CliCommand::Kind::Invalid:
      complain(command.error());
      return;
    case CliCommand::Kind::Who:
      for (const std::string& line : LineFormatter::members(client_.session())) client_.print(line);
      return;
    case CliCommand::Kind::Channels:
      for (const std::string& line : LineFormatter::channels(client_.session())) {
        client_.print(line);
      }
      return;
    case CliCommand::Kind::Quit:
      quitting_ = true;
      return;
    default:
      client_.send(command.protocolLine(client_.session().channel()), command.isPing());
      unanswered_ = true;
  }
}

// Shows the answers to what was sent before leaving, then quits.
int InteractiveRun::finish() {
  if (!client_.closed()) {
    const std::uint64_t barrier = client_.sendBarrier();
    client_.waitUntil([&] { return client_.answered(barrier); });
  }
  if (client_.closed()) {
    complain(client_.closedMessage());
    return kExitServerGone;
  }
  client_.quit();
  return kExitOk;
}

}  // namespace quorvane
