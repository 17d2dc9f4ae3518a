// The settings of the server's defences. Each limit is a whole number (0 turns it off); text
// that is not one is reported and the default kept, so that a typo never turns a defence off.
#include <cctype>
#include <climits>

#include "server/UserRecord.h"
#include "service/AsciiCase.h"
#include "service/ServerService.h"
#include "service/ServerSettings.h"

namespace quorvane {

namespace {

struct LimitSetting {
  const char* name;
  unsigned ServerLimits::*member;
};

constexpr LimitSetting kLimitSettings[] = {
    {"command-limit", &ServerLimits::commandLimit},
    {"command-burst", &ServerLimits::commandBurst},
    {"message-limit", &ServerLimits::messageLimit},
    {"message-burst", &ServerLimits::messageBurst},
    {"address-message-limit", &ServerLimits::addressMessageLimit},
    {"address-message-burst", &ServerLimits::addressMessageBurst},
    {"address-login-limit", &ServerLimits::addressLoginLimit},
    {"address-login-burst", &ServerLimits::addressLoginBurst},
    {"voice-limit", &ServerLimits::voiceLimit},
    {"login-timeout", &ServerLimits::loginTimeout},
    {"login-attempts", &ServerLimits::loginAttempts},
    {"autoban-attempts", &ServerLimits::autobanAttempts},
    {"autoban-timeframe", &ServerLimits::autobanTimeframe},
    {"autoban-time", &ServerLimits::autobanTime},
    {"pending-per-address", &ServerLimits::pendingPerAddress},
    {"connections-per-address", &ServerLimits::connectionsPerAddress},
    {"max-users", &ServerLimits::maxUsers},
    {"max-channels", &ServerLimits::maxChannels},
    {"max-channel-name", &ServerLimits::maxChannelName},
    {"max-channel-depth", &ServerLimits::maxChannelDepth},
    {"max-topic", &ServerLimits::maxTopic},
    {"max-nick", &ServerLimits::maxNick},
    {"max-status", &ServerLimits::maxStatus},
};

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string trimmed(const std::string& text) {
  std::size_t first = 0, last = text.size();
  while (first < last && isBlank(text[first])) ++first;
  while (last > first && isBlank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

// Decimal digits only, blanks around them allowed; false for anything else.
bool parseCount(const std::string& text, unsigned& out) {
  const std::string digits = trimmed(text);
  if (digits.empty()) return false;
  unsigned long long value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = std::min<unsigned long long>(value * 10 + static_cast<unsigned>(c - '0'), UINT_MAX);
  }
  out = static_cast<unsigned>(value);
  return true;
}

std::string ignored(const char* name, const std::string& text, const std::string& why) {
  return std::string("Quorvane service ignored setting ") + name + ": \"" + text + "\" " + why;
}

// IPv4 addresses separated by blanks or commas.
std::set<std::uint32_t> readAddresses(ServerSettings& file, const char* name,
                                      std::vector<std::string>& problems) {
  std::set<std::uint32_t> addresses;
  const std::optional<std::string> text = file.keyText(name);
  if (!text) return addresses;
  std::string token;
  for (std::size_t i = 0; i <= text->size(); ++i) {
    const char c = i < text->size() ? (*text)[i] : ' ';
    if (!isBlank(c) && c != ',') {
      token += c;
      continue;
    }
    if (token.empty()) continue;
    const std::uint32_t number = UserRecord::addressNumber(token);
    if (number == 0 && token != "0.0.0.0") {
      problems.push_back(ignored(name, token, "is not an IPv4 address."));
    } else {
      addresses.insert(number);
    }
    token.clear();
  }
  return addresses;
}

}  // namespace

bool ServerService::readSwitch(ServerSettings& file, const char* name, bool fallback,
                               std::vector<std::string>& problems) {
  const std::optional<std::string> text = file.keyText(name);
  if (!text) return fallback;
  const std::string lower = lowerAscii(*text);
  if (lower == "true") return true;
  if (lower == "false") return false;
  problems.push_back(ignored(name, *text, std::string("is neither true nor false; using ") +
                                              (fallback ? "true." : "false.")));
  return fallback;
}

void ServerService::readCount(ServerSettings& file, const char* name, unsigned& value,
                              std::vector<std::string>& problems) {
  const std::optional<std::string> text = file.keyText(name);
  if (text && !parseCount(*text, value)) {
    problems.push_back(ignored(name, *text,
                               "is not a whole number; using " + std::to_string(value) + "."));
  }
}

ServerLimits ServerService::readLimits(ServerSettings& file, std::vector<std::string>& problems) {
  ServerLimits limits;
  for (const LimitSetting& setting : kLimitSettings) {
    readCount(file, setting.name, limits.*setting.member, problems);
  }
  limits.trusted = readAddresses(file, "trusted-addresses", problems);
  limits.banned = readAddresses(file, "banned-addresses", problems);
  return limits;
}

}  // namespace quorvane
