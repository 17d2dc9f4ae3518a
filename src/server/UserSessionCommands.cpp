// The command dispatch of a UserSession and one handler per command word. Each handler tests the
// client's state first, then reads its parameters in order and answers the first failure with
// its error number; what earlier steps stored stays stored.
#include <array>

#include "protocol/MessageSyntax.h"
#include "protocol/TextMessage.h"
#include "server/Channel.h"
#include "server/UserSession.h"
#include "server/VoiceServer.h"

namespace quorvane {

namespace {

using Handler = void (UserSession::*)(std::string_view);

// What a command may make the server do, for the rate limits.
enum class Reach { Self, Others, Login };

struct Command {
  std::string_view word;
  Handler handler;
  Reach reach;
};

std::string_view commandWord(std::string_view line) {
  return line.substr(0, line.find(' '));
}

bool equalsLowered(std::string_view word, std::string_view command) {
  if (word.size() != command.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    char c = word[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != command[i]) return false;
  }
  return true;
}

// A value that reaches other clients must not end in a backslash: written between quotation
// marks it would escape the closing one, and no reader could parse the line. Nor may it be longer
// than `limit` bytes (0: no limit), since every client receives it. Such a value counts as
// absent.
bool getOutgoingParam(const LineParams& params, std::string_view key, std::string& out,
                      unsigned limit = 0) {
  std::string value;
  if (!params.getStringParam(key, value) || value.ends_with('\\')) return false;
  if (limit != 0 && value.size() > limit) return false;
  out = std::move(value);
  return true;
}

// Lines are counted by their command's place in the dispatch table, then the rest.
template <std::size_t N>
constexpr bool countedInOrder(const std::array<Command, N>& commands) {
  for (std::size_t i = 0; i < N; ++i) {
    if (commands[i].word != ServerMetrics::kCommandNames[i]) return false;
  }
  return N + 1 == ServerMetrics::kCommandNames.size();
}

}  // namespace

std::chrono::steady_clock::duration UserSession::handleLine(std::string_view line) {
  static constexpr std::array<Command, 12> kCommands{{
      {"protocol", &UserSession::onProtocol, Reach::Self},
      {"connect", &UserSession::onConnect, Reach::Login},
      {"quit", &UserSession::onQuit, Reach::Self},
      {"changenick", &UserSession::onChangeNick, Reach::Others},
      {"ping", &UserSession::onPing, Reach::Self},
      {"join", &UserSession::onJoin, Reach::Others},
      {"pwc", &UserSession::onPwc, Reach::Self},
      {"whoami", &UserSession::onWhoami, Reach::Self},
      {"changestatus", &UserSession::onChangeStatus, Reach::Others},
      {"message", &UserSession::onMessage, Reach::Others},
      {"kick", &UserSession::onKick, Reach::Others},
      {"admin", &UserSession::onAdmin, Reach::Self},
  }};
  static_assert(countedInOrder(kCommands));

  const bool tooShort = line.size() < 2;
  if (line.ends_with("\r\n")) {
    line.remove_suffix(2);
  } else if (line.ends_with('\n')) {
    line.remove_suffix(1);
  }

  const std::string_view word = commandWord(line);
  const Command* command = nullptr;
  for (const Command& candidate : kCommands) {
    if (equalsLowered(word, candidate.word)) {
      command = &candidate;
      break;
    }
  }
  // Every line counts, blank and unknown ones too; nothing is done before the limits allow it.
  if (server_ != nullptr) {
    const Reach reach = command != nullptr ? command->reach : Reach::Self;
    const auto wait = server_->admitLine(this, reach != Reach::Self, reach == Reach::Login);
    ServerMetrics& metrics = server_->metrics();
    if (wait > std::chrono::steady_clock::duration::zero()) {
      bump(metrics.rateLimitWaits);
      return wait;
    }
    const std::size_t counted = command != nullptr
                                    ? static_cast<std::size_t>(command - kCommands.data())
                                    : kCommands.size();
    bump(metrics.linesReceived[counted]);
  }
  if (tooShort) return {};
  if (command == nullptr) {
    sendError(ErrorNumber::UnknownCommand);
  } else {
    (this->*command->handler)(line);
  }
  return {};
}

unsigned UserSession::textLimit(unsigned ServerLimits::*limit) const {
  return server_ != nullptr ? server_->limits().*limit : 0;
}

void UserSession::onProtocol(std::string_view line) {
  std::string version;
  if (!LineParams(line).getStringParam("version", version)) return sendError(ErrorNumber::MissingVersion);
  setProtocolVersion(std::move(version));
}

void UserSession::onConnect(std::string_view line) {
  if (!voiceConfirmed_) return sendError(ErrorNumber::VoiceNotConfirmed);
  if (loggedIn_) return sendError(ErrorNumber::AlreadyLoggedIn);
  if (protocolVersion_.empty()) return sendError(ErrorNumber::NoProtocolVersion);

  const LineParams params(line);
  std::string text;
  int value = 0;
  if (!getOutgoingParam(params, "nick", text, textLimit(&ServerLimits::maxNick))) {
    return sendError(ErrorNumber::MissingNick);
  }
  setNick(std::move(text));
  if (!params.getStringParam("password", text)) return sendError(ErrorNumber::MissingPassword);
  setPassword(std::move(text));
  if (!params.getIntParam("bandmode", value)) return sendError(ErrorNumber::MissingAudioFormat);
  setBandMode(value);
  if (!params.getIntParam("framesize", value)) return sendError(ErrorNumber::MissingAudioFormat);
  setFrameSize(value);
  if (!params.getIntParam("encodedframesize", value)) return sendError(ErrorNumber::MissingAudioFormat);
  setEncodedFrameSize(value);
  if (!params.getIntParam("fpp", value)) return sendError(ErrorNumber::MissingFramesPerPacket);
  setFramesPerPacket(value);
  if (server_ != nullptr) server_->login(this);
}

void UserSession::onQuit(std::string_view) { quit(); }

void UserSession::onChangeNick(std::string_view line) {
  if (!loggedIn_) return sendError(ErrorNumber::NotLoggedIn);
  std::string nick;
  if (!getOutgoingParam(LineParams(line), "nick", nick, textLimit(&ServerLimits::maxNick))) {
    return sendError(ErrorNumber::MissingNick);
  }
  setNick(std::move(nick));
  if (server_ != nullptr) server_->userUpdated(this);
}

void UserSession::onPing(std::string_view) {
  setLastPingTime(server_ != nullptr ? server_->now() : std::time(nullptr));
  sendPong();
}

void UserSession::onJoin(std::string_view line) {
  if (!loggedIn_) return sendError(ErrorNumber::NotLoggedIn);
  const LineParams params(line);
  std::string path, password, topic;
  if (!getOutgoingParam(params, "channel", path) || !params.getStringParam("password", password) ||
      !getOutgoingParam(params, "topic", topic)) {
    return sendError(ErrorNumber::MissingChannel);
  }
  if (server_ != nullptr) server_->joinChannel(this, path, password, topic);
}

void UserSession::onPwc(std::string_view) {
  if (!loggedIn_) return sendError(ErrorNumber::NotLoggedIn);
  sendPwc();
}

void UserSession::onWhoami(std::string_view) { sendYouAre(); }

void UserSession::onChangeStatus(std::string_view line) {
  if (!loggedIn_) return sendError(ErrorNumber::NotLoggedIn);
  const LineParams params(line);
  int mode = 0;
  if (!params.getIntParam("statusmode", mode)) return sendError(ErrorNumber::MissingStatusMode);
  setStatusMode(mode);
  std::string message;
  if (!getOutgoingParam(params, "statusmessage", message, textLimit(&ServerLimits::maxStatus))) {
    return sendError(ErrorNumber::MissingText);
  }
  setStatusMessage(std::move(message));
  if (server_ != nullptr) server_->userUpdated(this);
}

void UserSession::onMessage(std::string_view line) {
  if (!loggedIn_) return sendError(ErrorNumber::NotLoggedIn);
  const LineParams params(line);
  const bool addressesChannels = versionAtLeast21(protocolVersion_);
  TextMessage message;
  if (!params.getIntParam("to", message.to)) {
    if (!addressesChannels) return sendError(ErrorNumber::MissingRecipient);
    message.to = 0;
  }
  if (!getOutgoingParam(params, "message", message.message)) return sendError(ErrorNumber::MissingText);
  std::string path;
  if (addressesChannels) {
    if (!params.getIntParam("type", message.type)) return sendError(ErrorNumber::MissingType);
    // Only the two known types are delivered; others end the command without a word.
    if (message.type != TextMessage::ToUser && message.type != TextMessage::ToChannel) return;
    if (!getOutgoingParam(params, "channel", path)) return sendError(ErrorNumber::MissingChannel);
  }
  if (channel() == nullptr) return;
  message.from = id();
  message.channel = path.empty() ? channel()->path() : std::move(path);
  if (server_ != nullptr) server_->deliverMessage(this, message);
}

void UserSession::onKick(std::string_view line) {
  if (!loggedIn_) return sendError(ErrorNumber::NotLoggedIn);
  const LineParams params(line);
  int target = 0;
  if (!params.getIntParam("id", target)) return sendError(ErrorNumber::MissingId);
  std::string path;
  if (!params.getStringParam("channel", path)) return sendError(ErrorNumber::MissingChannel);
  if (server_ != nullptr) server_->kickUser(this, path, target);
}

void UserSession::onAdmin(std::string_view line) {
  if (protocolVersion_.empty()) return sendError(ErrorNumber::NoProtocolVersion);
  const LineParams params(line);
  std::string username, password;
  if (!params.getStringParam("username", username)) return sendError(ErrorNumber::MissingUsername);
  if (!params.getStringParam("password", password)) return sendError(ErrorNumber::MissingPassword);
  if (server_ != nullptr) server_->adminLogin(this, username, password);
}

}  // namespace quorvane
