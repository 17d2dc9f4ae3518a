#include "server/VoiceDirectory.h"

namespace quorvane {

void VoiceDirectory::configure(const Settings& settings) {
  std::lock_guard<std::mutex> guard(lock_);
  settings_ = settings;
}

void VoiceDirectory::addUser(int id, std::uint32_t connectionAddress) {
  std::lock_guard<std::mutex> guard(lock_);
  Entry entry;
  entry.connectionAddress = connectionAddress;
  users_[id] = entry;
}

void VoiceDirectory::removeUser(int id) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = users_.find(id);
  if (it == users_.end()) return;
  forgetEndpoint(id, it->second);
  users_.erase(it);
}

void VoiceDirectory::forgetEndpoint(int id, const Entry& entry) {
  if (!entry.hasEndpoint) return;
  auto owner = byEndpoint_.find(entry.endpoint.key());
  if (owner != byEndpoint_.end() && owner->second == id) byEndpoint_.erase(owner);
}

void VoiceDirectory::setEndpoint(int id, const Endpoint& endpoint) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = users_.find(id);
  if (it == users_.end()) return;
  forgetEndpoint(id, it->second);
  it->second.endpoint = endpoint;
  it->second.hasEndpoint = true;
  byEndpoint_[endpoint.key()] = id;
}

void VoiceDirectory::setLoggedIn(int id, bool loggedIn) {
  std::lock_guard<std::mutex> guard(lock_);
  if (auto it = users_.find(id); it != users_.end()) it->second.loggedIn = loggedIn;
}

void VoiceDirectory::setChannel(int id, const void* channel) {
  std::lock_guard<std::mutex> guard(lock_);
  if (auto it = users_.find(id); it != users_.end()) it->second.channel = channel;
}

void VoiceDirectory::clear() {
  std::lock_guard<std::mutex> guard(lock_);
  users_.clear();
  byEndpoint_.clear();
  buckets_.clear();
}

bool VoiceDirectory::helloCounts(int id, const Endpoint& from) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = users_.find(id);
  if (it == users_.end()) return false;
  return !settings_.addressCheck || it->second.connectionAddress == from.address;
}

std::optional<Endpoint> VoiceDirectory::forwardTarget(const Endpoint& from, int to,
                                                      Clock::time_point now,
                                                      ServerMetrics::VoiceDrop* why) {
  auto refuse = [why](ServerMetrics::VoiceDrop reason) {
    if (why != nullptr) *why = reason;
    return std::nullopt;
  };
  std::lock_guard<std::mutex> guard(lock_);
  if (!settings_.forwarding) return refuse(ServerMetrics::ForwardingOff);
  auto recipient = users_.find(to);
  if (recipient == users_.end()) return refuse(ServerMetrics::NoRecipient);
  if (settings_.addressCheck) {
    // Forwarding is for members of one channel, from a known user's own endpoint: not a relay
    // that hides anyone's address.
    auto sender = byEndpoint_.find(from.key());
    if (sender == byEndpoint_.end()) return refuse(ServerMetrics::NotAllowed);
    const Entry& speaker = users_.at(sender->second);
    if (!speaker.loggedIn || !recipient->second.loggedIn ||
        speaker.channel != recipient->second.channel) {
      return refuse(ServerMetrics::NotAllowed);
    }
  }
  if (settings_.voiceLimit != 0) {
    // Excess voice is dropped, as UDP may drop it anyway.
    TokenBucket& bucket = buckets_[from.key()];
    const unsigned rate = settings_.voiceLimit;
    if (bucket.wait(rate, rate, now) > Clock::duration::zero()) {
      return refuse(ServerMetrics::VoiceLimit);
    }
    bucket.take(rate, rate, now);
  }
  return recipient->second.endpoint;
}

void VoiceDirectory::tidy(Clock::time_point now) {
  std::lock_guard<std::mutex> guard(lock_);
  const unsigned rate = settings_.voiceLimit;
  std::erase_if(buckets_, [&](const auto& entry) { return entry.second.full(rate, rate, now); });
}

}  // namespace quorvane
