#include "attack/AttackPool.h"

namespace quorvane {

namespace {

constexpr auto kPumpInterval = std::chrono::milliseconds(1);
// The script sends again once less than this waits unsent on a connection.
constexpr std::size_t kLittleOutput = 4096;
// The attacker's own send buffers stay small: what waits in them is the attacker's cost, not
// the server's, and thousands of default ones would take the host's TCP memory.
constexpr int kSendBuffer = 32768;

}  // namespace

AttackPool::AttackPool(ClientLoop& loop, const Options& options, Script script)
    : loop_(loop), options_(options), script_(std::move(script)) {
  for (std::size_t i = options_.connections; i > 0; --i) free_.push_back(i - 1);
  members_.resize(options_.connections);
}

AttackPool::~AttackPool() {
  loop_.cancel(pumpTimer_);
  for (const auto& member : members_) {
    if (member == nullptr) continue;
    loop_.detach(member->client);
    member->client.close(true);
  }
}

void AttackPool::start() {
  openMore();
  pumpTimer_ = loop_.scheduleAfter(kPumpInterval, [this] { pump(); });
}

AttackPool::Counts AttackPool::counts() const {
  Counts counts = counts_;
  for (const auto& member : members_) {
    if (member != nullptr) counts.linesSent += member->client.linesSent();
  }
  return counts;
}

void AttackPool::openMore() {
  while (!free_.empty() && pending_ < options_.pending && !attemptsUsed()) {
    const std::size_t index = free_.back();
    std::unique_ptr<Member>& member = members_[index];
    if (member == nullptr) {
      member = std::make_unique<Member>();
      member->pool = this;
      member->index = index;
      member->client.setHandler(member.get());
    }
    ProtocolClient::Options options;
    options.host = options_.host;
    options.hostPort = options_.hostPort;
    options.soundPort = options_.soundPort;
    options.connectionAddress = options_.address;
    options.sendBufferBytes = kSendBuffer;
    options.autoLogin = options_.logIn;
    options.ownVoiceSocket = options_.logIn;
    options.login.nick = "attacker" + std::to_string(index);
    options.login.password = options_.password;
    if (!member->client.open(options)) {
      // No socket now (this process's descriptors): the pump tries again.
      ++counts_.unopened;
      break;
    }
    ++counts_.attempts;
    free_.pop_back();
    loop_.attach(member->client);
    member->open = true;
    member->greeted = false;
    member->settled = false;
    ++pending_;
  }
}

void AttackPool::settle(Member& member) {
  if (member.settled) return;
  member.settled = true;
  --pending_;
  openMore();
}

void AttackPool::pump() {
  if (script_.send) {
    for (const auto& member : members_) {
      if (member != nullptr && member->open && member->client.pendingOutput() < kLittleOutput) {
        script_.send(member->index, member->client);
      }
    }
  }
  openMore();
  pumpTimer_ = loop_.scheduleAfter(kPumpInterval, [this] { pump(); });
}

void AttackPool::Member::onLine(ProtocolClient& client, const ServerLine& line) {
  if (!greeted && line.is("welcome")) {
    greeted = true;
    ++pool->counts_.greeted;
    pool->counts_.mostHeld = std::max(pool->counts_.mostHeld, ++pool->held_);
    if (!pool->options_.logIn) pool->settle(*this);
  }
  if (pool->script_.line) pool->script_.line(index, client, line);
}

void AttackPool::Member::onLoggedIn(ProtocolClient&) {
  ++pool->counts_.loggedIn;
  pool->settle(*this);
}

void AttackPool::Member::onClosed(ProtocolClient&, const std::string&) {
  open = false;
  if (greeted) {
    ++pool->counts_.dropped;
    --pool->held_;
  } else {
    ++pool->counts_.refused;
  }
  if (!settled) {
    settled = true;
    --pool->pending_;
  }
  pool->loop_.detach(client);
  pool->free_.push_back(index);
  pool->openMore();
}

}  // namespace quorvane
