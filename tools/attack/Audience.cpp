#include "attack/Audience.h"

#include <algorithm>

namespace quorvane {

std::string loopbackAddress(int block, std::size_t n) {
  return "127.0." + std::to_string(block) + "." + std::to_string(n);
}

Audience::Audience(ClientLoop& loop, const ProtocolClient::Options& base)
    : loop_(loop), base_(base) {}

Audience::~Audience() {
  for (const auto& member : members_) {
    loop_.detach(member->client);
    // A client that stopped reading has its unread lines thrown away with a reset.
    if (reading_) {
      member->client.quit();
    } else {
      member->client.close(true);
    }
  }
}

std::size_t Audience::logIn(const std::vector<std::string>& addresses,
                            Clock::time_point deadline, double bytesPerSecond) {
  for (const std::string& address : addresses) {
    auto member = std::make_unique<Member>();
    member->client.setHandler(member.get());
    member->mark = &mark_;
    ProtocolClient::Options options = base_;
    options.connectionAddress = address;
    options.login.nick = "honest" + std::to_string(members_.size());
    options.readBytesPerSecond = bytesPerSecond;
    if (member->client.open(options)) loop_.attach(member->client);
    members_.push_back(std::move(member));
  }
  auto loggedIn = [this] {
    return static_cast<std::size_t>(std::count_if(members_.begin(), members_.end(),
                                                  [](auto& m) { return m->client.loggedIn(); }));
  };
  loop_.runUntil([&] { return loggedIn() == members_.size(); }, deadline);
  return loggedIn();
}

void Audience::mark(const std::string& word) { mark_ = word; }

void Audience::stopReading() {
  reading_ = false;
  for (const auto& member : members_) loop_.detach(member->client);
}

void Audience::settle(Clock::duration quiet, Clock::time_point deadline) {
  std::uint64_t seen = ~std::uint64_t{0};
  Clock::time_point since = Clock::now();
  loop_.runUntil(
      [&] {
        std::uint64_t lines = 0;
        for (const auto& member : members_) lines += member->lines;
        const Clock::time_point now = Clock::now();
        if (lines != seen) {
          seen = lines;
          since = now;
        }
        return now - since >= quiet;
      },
      deadline);
}

std::size_t Audience::droppedCount() const {
  return static_cast<std::size_t>(
      std::count_if(members_.begin(), members_.end(), [](auto& m) { return m->dropped; }));
}

void Audience::Member::onLoggedIn(ProtocolClient&) { loggedIn = true; }

void Audience::Member::onLine(ProtocolClient&, const ServerLine& line) {
  ++lines;
  bytes += line.text().size() + 2;
  if (!mark->empty() && line.is(*mark)) ++marked;
  if (line.is("removeuser")) removed.emplace(line.intParam("id"), Clock::now());
}

void Audience::Member::onClosed(ProtocolClient&, const std::string&) {
  if (!loggedIn) return;
  dropped = true;
  droppedAt = Clock::now();
}

}  // namespace quorvane
