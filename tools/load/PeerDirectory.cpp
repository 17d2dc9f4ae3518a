#include "load/PeerDirectory.h"

namespace quorvane {

void PeerDirectory::add(const Peer& peer) {
  std::lock_guard<std::mutex> hold(lock_);
  if (byKey_.contains(peer.key)) return;
  byKey_[peer.key] = peers_.size();
  peers_.push_back(peer);
  // A session that ended unnoticed may still hold the id; the newest holds it now.
  byId_[peer.id] = peer.key;
}

void PeerDirectory::remove(std::uint32_t key) {
  std::lock_guard<std::mutex> hold(lock_);
  const auto found = byKey_.find(key);
  if (found == byKey_.end()) return;
  const std::size_t at = found->second;
  byKey_.erase(found);
  const auto holder = byId_.find(peers_[at].id);
  if (holder != byId_.end() && holder->second == key) byId_.erase(holder);
  if (at + 1 != peers_.size()) {
    peers_[at] = peers_.back();
    byKey_[peers_[at].key] = at;
  }
  peers_.pop_back();
}

bool PeerDirectory::pick(std::mt19937_64& random, std::uint32_t self, Peer& out) const {
  std::lock_guard<std::mutex> hold(lock_);
  const std::size_t size = peers_.size();
  if (size == 0 || (size == 1 && peers_[0].key == self)) return false;
  for (;;) {
    const Peer& peer = peers_[std::uniform_int_distribution<std::size_t>(0, size - 1)(random)];
    if (peer.key != self) {
      out = peer;
      return true;
    }
  }
}

bool PeerDirectory::find(int id, Peer& out) const {
  std::lock_guard<std::mutex> hold(lock_);
  const auto found = byId_.find(id);
  if (found == byId_.end()) return false;
  out = {id, found->second};
  return true;
}

}  // namespace quorvane
