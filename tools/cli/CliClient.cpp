#include "cli/CliClient.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <utility>

#include "cli/LineFormatter.h"

namespace quorvane {

namespace {

using State = ProtocolClient::State;

}  // namespace

CliClient::CliClient(const CliOptions& options) : options_(options) { client_.setHandler(this); }

CliClient::~CliClient() { client_.close(); }

bool CliClient::fail(std::string why) {
  failure_ = std::move(why);
  client_.close();
  return false;
}

std::string CliClient::timeoutText() const {
  const auto ms = options_.timeout.count();
  std::string text = std::to_string(ms / 1000);
  if (ms % 1000 != 0) text += "." + std::to_string(ms % 1000 + 1000).substr(1);
  return text + " s";
}

bool CliClient::login() {
  ProtocolClient::Options settings;
  settings.host = options_.host;
  settings.hostPort = options_.port;
  settings.soundPort = options_.soundPort;
  settings.voiceAddress = options_.voiceAddress;
  settings.login.nick = options_.nick;
  settings.login.password = options_.password;
  settings.helloInterval = kHelloInterval;
  if (!client_.open(settings)) {
    return fail("cannot connect to " + options_.host + ":" + std::to_string(options_.port) + ": " +
                client_.lastError());
  }
  return awaitWelcome() && awaitHelloReply() && awaitAccepted();
}

bool CliClient::awaitWelcome() {
  const std::string where = options_.host + ":" + std::to_string(options_.port);
  client_.waitUntil(
      [this] {
        return client_.state() != State::Connecting && client_.state() != State::Connected;
      },
      options_.timeout);
  switch (client_.state()) {
    case State::Closed:
      return fail(session_.ownId() == 0 ? "cannot connect to " + where + ": " + closeReason_
                                        : "server closed the connection during the login");
    case State::Connecting:
      return fail("cannot connect to " + where + ": no answer within " + timeoutText());
    case State::Connected:
      return fail("no welcome from " + where + " within " + timeoutText());
    default:
      return true;
  }
}

bool CliClient::awaitHelloReply() {
  // The hello goes out at once and is repeated; the last try gets one interval for its answer.
  const auto bound =
      std::min<std::chrono::milliseconds>(options_.timeout, kHelloInterval * kHelloTries);
  client_.waitUntil([this] { return client_.state() != State::AwaitingHelloReply; }, bound);
  if (client_.state() == State::Closed) {
    return fail("server closed the connection during the login");
  }
  if (client_.state() == State::AwaitingHelloReply) {
    return fail("no answer to the voice hello from " + options_.host + ":" +
                std::to_string(options_.soundPort) + " after " + std::to_string(kHelloTries) +
                " tries (is the sound port right?)");
  }
  return true;
}

bool CliClient::awaitAccepted() {
  client_.waitUntil([this] { return accepted_ || client_.loginError() != 0 || closed(); },
                    options_.timeout);
  // Accepted and closed at once (the server stopped) is the end of a session, not a refusal.
  if (accepted_) return true;
  if (client_.loginError() != 0) {
    return fail("login refused: " + LineFormatter::errorText(client_.loginError()));
  }
  if (closed()) return fail("server closed the connection during the login");
  return fail("no answer to the login within " + timeoutText());
}

bool CliClient::send(std::string_view line, bool ping) {
  if (!client_.sendLine(line)) return false;
  session_.sent(line);
  if (ping) pings_.push_back(Ping::Shown);
  return true;
}

std::uint64_t CliClient::sendBarrier() {
  if (client_.sendLine(kPingLine)) pings_.push_back(Ping::Barrier);
  return ++barriersSent_;
}

void CliClient::sendKeepAlive() {
  if (client_.sendLine(kPingLine)) pings_.push_back(Ping::KeepAlive);
}

bool CliClient::waitUntil(const std::function<bool()>& done) {
  return client_.waitUntil([&] { return done() || closed(); }, options_.timeout) && done();
}

std::string CliClient::closedMessage() const {
  std::string message = "server closed the connection";
  if (lastWord_ == "kicked") {
    message += " (you were kicked)";
  } else if (lastWord_ == "quit") {
    message += " (the server is shutting down)";
  } else if (!closeReason_.empty() && closeReason_ != "closed by the server") {
    message += " (" + closeReason_ + ")";
  }
  return message;
}

void CliClient::print(std::string_view text) {
  std::string out = LineFormatter::timePrefix(std::time(nullptr));
  out.append(text);
  out += '\n';
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

void CliClient::onLine(ProtocolClient&, const ServerLine& line) {
  lastWord_ = line.word();
  accepted_ = accepted_ || line.is("accepted");
  if (line.is("pong") && !pings_.empty()) {
    const Ping ping = pings_.front();
    pings_.pop_front();
    if (ping == Ping::Barrier) ++barriersAnswered_;
    if (ping == Ping::ListEnd && --listEndsPending_ == 0) session_.endListing();
    if (ping != Ping::Shown) return;
  }
  const std::string text = LineFormatter::format(line, session_);
  if (line.is("error")) {
    ++errorCount_;
    lastError_ = text;
  }
  session_.apply(line);
  if (!quiet_) print(text);
  // The lists of a login or a join were queued together with its first line: everything
  // before the answer to a ping sent now belongs to them.
  if ((line.is("accepted") || line.is("joined")) && client_.sendLine(kPingLine)) {
    pings_.push_back(Ping::ListEnd);
    ++listEndsPending_;
  }
}

void CliClient::onClosed(ProtocolClient&, const std::string& reason) { closeReason_ = reason; }

}  // namespace quorvane
