// The command-line client's connection: a ProtocolClient whose login is bounded in time, the
// session kept from every line, every line shown as it arrives, and the bookkeeping of the
// client's own "ping"s, whose answers it keeps to itself. Used on one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "cli/CliOptions.h"
#include "cli/CliSession.h"
#include "client/ProtocolClient.h"

namespace quorvane {

// The program's exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitCommandFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitConnectionFailed = 3;
inline constexpr int kExitServerGone = 4;

class CliClient final : public ProtocolClient::Handler {
 public:
  // The voice hello is sent this often, this many times, before the login gives up.
  static constexpr std::chrono::milliseconds kHelloInterval{1000};
  static constexpr int kHelloTries = 5;

  explicit CliClient(const CliOptions& options);
  ~CliClient();
  CliClient(const CliClient&) = delete;
  CliClient& operator=(const CliClient&) = delete;

  // Connects and logs in, every step bounded by the time-out; false with failure() set. True
  // once "accepted" came, even when the connection has ended since.
  bool login();
  const std::string& failure() const { return failure_; }

  // While quiet, lines update the session but are not shown.
  void setQuiet(bool quiet) { quiet_ = quiet; }
  // Sends a command line; `ping` when its "pong" is to be shown as its answer.
  bool send(std::string_view line, bool ping);
  // Sends a "ping" whose "pong" is not shown: it marks the point by which the server has answered
  // everything sent before. Returns its number for answered().
  std::uint64_t sendBarrier();
  bool answered(std::uint64_t barrier) const { return barriersAnswered_ >= barrier; }
  // The keep-alive "ping"; its "pong" is not shown either.
  void sendKeepAlive();
  // Serves the sockets until `done` holds, the connection ends or the time-out passes.
  bool waitUntil(const std::function<bool()>& done);
  // Sends "quit" and closes.
  void quit() { client_.quit(); }

  bool closed() const { return client_.state() == ProtocolClient::State::Closed; }
  // One line on why the connection ended, for standard error.
  std::string closedMessage() const;
  // Error lines received so far, and the last one as text.
  int errorCount() const { return errorCount_; }
  const std::string& lastError() const { return lastError_; }

  ProtocolClient& protocol() { return client_; }
  const CliSession& session() const { return session_; }
  const CliOptions& options() const { return options_; }
  // The time-out for messages: "10 s".
  std::string timeoutText() const;
  // Shows the text as one line on standard output, after the time.
  void print(std::string_view text);

  void onLine(ProtocolClient& client, const ServerLine& line) override;
  void onDatagram(ProtocolClient&, std::span<const std::uint8_t>) override {}
  void onLoggedIn(ProtocolClient&) override {}
  void onClosed(ProtocolClient& client, const std::string& reason) override;
  void onBadLineEnd(ProtocolClient&, std::string_view) override {}

 private:
  // Why a "ping" was sent: its "pong" is shown, counts as a barrier, ends the lists of a login
  // or join, or is a keep-alive.
  enum class Ping { Shown, Barrier, ListEnd, KeepAlive };

  bool fail(std::string why);
  bool awaitWelcome();
  bool awaitHelloReply();
  bool awaitAccepted();

  const CliOptions& options_;
  ProtocolClient client_;
  CliSession session_;
  bool quiet_ = false;
  bool accepted_ = false;
  std::string failure_;
  std::string closeReason_;
  std::string lastWord_;
  std::deque<Ping> pings_;
  std::uint64_t barriersSent_ = 0;
  std::uint64_t barriersAnswered_ = 0;
  int listEndsPending_ = 0;
  int errorCount_ = 0;
  std::string lastError_;
};

}  // namespace quorvane
