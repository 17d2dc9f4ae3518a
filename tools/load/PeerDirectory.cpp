#include "load/PeerDirectory.h"

namespace quorvane {

void PeerDirectory::insert(Table& table, const Peer& peer) {
  if (table.index.contains(peer.key)) return;
  table.index[peer.key] = table.peers.size();
  table.peers.push_back(peer);
}

void PeerDirectory::erase(Table& table, std::uint32_t key) {
  const auto found = table.index.find(key);
  if (found == table.index.end()) return;
  const std::size_t at = found->second;
  table.index.erase(found);
  if (at + 1 != table.peers.size()) {
    table.peers[at] = table.peers.back();
    table.index[table.peers[at].key] = at;
  }
  table.peers.pop_back();
}

bool PeerDirectory::pickFrom(const Table& table, std::mt19937_64& random, std::uint32_t self,
                             Peer& out) {
  const std::size_t size = table.peers.size();
  if (size == 0 || (size == 1 && table.peers[0].key == self)) return false;
  for (;;) {
    const Peer& peer = table.peers[std::uniform_int_distribution<std::size_t>(0, size - 1)(random)];
    if (peer.key != self) {
      out = peer;
      return true;
    }
  }
}

void PeerDirectory::add(const Peer& peer) {
  std::lock_guard<std::mutex> hold(lock_);
  insert(all_, peer);
  if (peer.id >= 1 && peer.id <= kLargestVoiceId) insert(voice_, peer);
}

void PeerDirectory::remove(std::uint32_t key) {
  std::lock_guard<std::mutex> hold(lock_);
  erase(all_, key);
  erase(voice_, key);
}

bool PeerDirectory::pick(std::mt19937_64& random, std::uint32_t self, bool voice,
                         Peer& out) const {
  std::lock_guard<std::mutex> hold(lock_);
  return pickFrom(voice ? voice_ : all_, random, self, out);
}

}  // namespace quorvane
