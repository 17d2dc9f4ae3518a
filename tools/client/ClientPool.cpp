#include "client/ClientPool.h"

namespace quorvane {

std::string ClientPool::sourceAddress(std::size_t slot) {
  return "127.0.0." + std::to_string(2 + slot % kSourceAddresses);
}

ClientPool::ClientPool(ClientLoop& loop, const ProtocolClient::Options& options)
    : loop_(loop), options_(options) {
  options_.autoLogin = false;
}

ClientPool::~ClientPool() {
  for (const auto& member : members_) {
    loop_.detach(member->client);
    member->client.close(true);
  }
}

bool ClientPool::open(std::size_t index) const {
  const Member& member = *members_[index];
  return member.greeted && !member.closed;
}

std::size_t ClientPool::connect(std::size_t count, std::size_t window,
                                Clock::time_point deadline) {
  toOpen_ += count;
  window_ = window;
  openMore();
  loop_.runUntil([this] { return toOpen_ == 0 && pending_ == 0; }, deadline);
  return greeted_;
}

void ClientPool::openMore() {
  while (toOpen_ > 0 && pending_ < window_) {
    --toOpen_;
    auto member = std::make_unique<Member>();
    member->pool = this;
    member->index = members_.size();
    member->client.setHandler(member.get());
    ProtocolClient::Options options = options_;
    options.connectionAddress = sourceAddress(sourceSlot(member->index));
    if (!member->client.open(options)) {
      member->closed = true;
      ++unopened_;
      members_.push_back(std::move(member));
      continue;
    }
    loop_.attach(member->client);
    ++pending_;
    members_.push_back(std::move(member));
  }
}

void ClientPool::Member::onLine(ProtocolClient&, const ServerLine& line) {
  if (!greeted && line.is("welcome")) {
    greeted = true;
    ++pool->greeted_;
    pool->settled();
  }
  if (pool->onLine_) pool->onLine_(index, line);
}

void ClientPool::Member::onClosed(ProtocolClient&, const std::string&) {
  closed = true;
  ++pool->closed_;
  if (!greeted) pool->settled();
}

}  // namespace quorvane
