// The defences: rate limits on lines, refusals of connections, failed logins and bans, and the
// housekeeping of what they remember.
#include <algorithm>

#include "server/UserSession.h"
#include "server/VoiceServer.h"
#include "transport/ClientConnection.h"

namespace quorvane {

namespace {

using SteadyClock = std::chrono::steady_clock;

// A kind of refusal is logged at most once in this many seconds per address.
constexpr std::time_t kQuietSeconds = 60;
// An address is remembered at least this long after its last connection closed.
constexpr std::time_t kMinimumMemorySeconds = 60;

}  // namespace

SteadyClock::duration VoiceServer::admitLine(UserSession* user, bool toOthers, bool login) {
  const auto now = SteadyClock::now();
  const ServerLimits& l = limits_;
  AddressRecord* address = user->address();
  const bool perAddress = address != nullptr && !address->trusted;
  // Every bucket the line needs must have a token; only then is one taken from each.
  auto wait = user->commandBucket().wait(l.commandLimit, l.commandBurst, now);
  if (toOthers) {
    wait = std::max(wait, user->messageBucket().wait(l.messageLimit, l.messageBurst, now));
    if (perAddress) {
      wait = std::max(wait, address->messages.wait(l.addressMessageLimit,
                                                   l.addressMessageBurst, now));
    }
  }
  if (login && perAddress) {
    wait = std::max(wait, address->logins.wait(l.addressLoginLimit, l.addressLoginBurst, now));
  }
  if (wait > SteadyClock::duration::zero()) return wait;
  user->commandBucket().take(l.commandLimit, l.commandBurst, now);
  if (toOthers) {
    user->messageBucket().take(l.messageLimit, l.messageBurst, now);
    if (perAddress) address->messages.take(l.addressMessageLimit, l.addressMessageBurst, now);
  }
  if (login && perAddress) address->logins.take(l.addressLoginLimit, l.addressLoginBurst, now);
  return wait;
}

std::optional<AddressRecord::Refusal> VoiceServer::refusalFor(const AddressRecord& record,
                                                              std::uint32_t address) const {
  const ServerLimits& l = limits_;
  if (!record.trusted && (l.banned.count(address) != 0 || record.bannedUntil > now())) {
    return AddressRecord::Banned;
  }
  if (l.maxUsers != 0 && users_.size() >= l.maxUsers) return AddressRecord::ServerFull;
  if (record.trusted) return std::nullopt;
  if (l.pendingPerAddress != 0 && record.pending >= l.pendingPerAddress) {
    return AddressRecord::TooManyPending;
  }
  if (l.connectionsPerAddress != 0 && record.connections >= l.connectionsPerAddress) {
    return AddressRecord::TooManyConnections;
  }
  return std::nullopt;
}

bool VoiceServer::logRefusal(AddressRecord& record, AddressRecord::Refusal kind,
                             const std::string& address) {
  if (!logging_) return false;
  AddressRecord::QuietLog& quiet = record.quiet[kind];
  const std::time_t current = now();
  if (quiet.logged && current - quiet.lastEntry < kQuietSeconds) {
    ++quiet.leftOut;
    return false;
  }
  logLeftOut(record, kind, address);
  quiet.logged = true;
  quiet.lastEntry = current;
  return true;
}

void VoiceServer::logLeftOut(AddressRecord& record, AddressRecord::Refusal kind,
                             const std::string& address) {
  AddressRecord::QuietLog& quiet = record.quiet[kind];
  if (quiet.leftOut == 0) return;
  const std::string times = std::to_string(quiet.leftOut) + " more times";
  if (kind == AddressRecord::RefusedJoin) {
    log("Joins from " + address + " refused " + times + ".");
  } else {
    log("Connection from " + address + " refused " + times + ": " + refusalReason(kind) + ".");
  }
  quiet.leftOut = 0;
  quiet.lastEntry = now();
}

void VoiceServer::countFailure(UserSession* user) {
  AddressRecord* record = user->address();
  const ServerLimits& l = limits_;
  if (record == nullptr || record->trusted || l.autobanAttempts == 0) return;
  const std::time_t current = now();
  // A ban runs its course: what fails meanwhile neither extends it nor counts towards the next.
  if (record->bannedUntil > current) return;
  std::vector<std::time_t>& failures = record->failures;
  if (l.autobanTimeframe != 0) {
    std::erase_if(failures, [&](std::time_t at) { return current - at >= l.autobanTimeframe; });
  }
  failures.push_back(current);
  if (failures.size() < l.autobanAttempts) return;
  record->bannedUntil = current + l.autobanTime;
  failures.clear();
  if (logging_ && l.autobanTime != 0) {
    log("Address " + user->peerAddress() + " refused for " + std::to_string(l.autobanTime) +
        " s after " + std::to_string(l.autobanAttempts) + " failed logins.");
  }
}

void VoiceServer::closeAndRemove(UserSession* user) {
  user->closeConnection();
  disconnectUser(user);
}

void VoiceServer::loginTimedOut(UserSession* user) {
  if (user == nullptr) return;
  pool_.assertLocked();
  if (user->loggedIn() || findUser(user->id()) != user) return;
  bump(metrics_.dropped[ServerMetrics::LoginTimeout]);
  countFailure(user);
  closeAndRemove(user);
}

void VoiceServer::tidyLimits() {
  const std::time_t current = now();
  addresses_.forEach([&](std::uint32_t number, AddressRecord& record) {
    for (int kind = 0; kind < AddressRecord::kRefusals; ++kind) {
      const AddressRecord::QuietLog& quiet = record.quiet[kind];
      if (quiet.leftOut != 0 && current - quiet.lastEntry >= kQuietSeconds) {
        logLeftOut(record, static_cast<AddressRecord::Refusal>(kind),
                   UserRecord::addressText(number));
      }
    }
  });
  addresses_.expire(current, std::max<std::time_t>(limits_.autobanTimeframe,
                                                    kMinimumMemorySeconds));
  directory_.tidy(SteadyClock::now());
}

}  // namespace quorvane
