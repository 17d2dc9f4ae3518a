#include "transport/ClientConnection.h"

#include <algorithm>
#include <cstring>

#include "transport/Reactor.h"
#include "transport/ReactorPool.h"

namespace quorvane {

namespace {

// A list in the making keeps about this share of the output limit waiting to be sent.
constexpr std::size_t kListShare = 4;
// Items handed to one gathered send at most.
constexpr int kSlices = 64;

}  // namespace

ClientConnection::ClientConnection(ReactorPool& pool) : pool_(pool) {}

ClientConnection::~ClientConnection() {
  if (reactor() != nullptr) reactor()->remove(this);
}

void ClientConnection::setOwner(Owner* owner) {
  pool_.assertLocked();
  owner_ = owner;
  if (owner != nullptr && reactor() == nullptr) pool_.adopt(this);
  if (reactor() != nullptr) reactor()->setReadInterest(this, owner != nullptr && !paused_);
}

void ClientConnection::queueText(std::string text) { queueItem(Item{std::move(text), nullptr}); }

void ClientConnection::queueShared(std::shared_ptr<const std::string> line) {
  queueItem(Item{std::string(), std::move(line)});
}

void ClientConnection::queueItem(Item item) {
  pool_.assertLocked();
  if (overflowed_ || retiring_) return;
  const std::size_t size = item.text().size();
  const std::size_t waiting = unsentBytes() + (list_ ? list_->afterBytes : 0);
  if (waiting + size > outputLimit_) {
    overflow();
  } else if (list_) {
    // Behind a list in the making: it goes out when the list is done.
    list_->afterBytes += size;
    list_->after.push_back(std::move(item));
  } else {
    outboxBytes_ += size;
    outbox_.push_back(std::move(item));
    requestSend();
  }
}

void ClientConnection::queueList(std::vector<std::shared_ptr<const std::string>> lines) {
  pool_.assertLocked();
  if (overflowed_ || lines.empty()) return;
  if (list_) {
    // A second list follows the first and what was queued behind it.
    for (auto& line : lines) queueShared(std::move(line));
    return;
  }
  list_ = std::make_unique<PendingList>();
  list_->lines = std::move(lines);
  refillFromList();
  requestSend();
}

void ClientConnection::refillFromList() {
  const std::size_t share = std::max<std::size_t>(outputLimit_ / kListShare, 1);
  while (list_ && unsentBytes() < share) {
    if (list_->next < list_->lines.size()) {
      std::shared_ptr<const std::string>& line = list_->lines[list_->next++];
      outboxBytes_ += line->size();
      outbox_.push_back(Item{std::string(), std::move(line)});
      continue;
    }
    for (Item& item : list_->after) outbox_.push_back(std::move(item));
    outboxBytes_ += list_->afterBytes;
    list_.reset();
  }
}

void ClientConnection::overflow() {
  // The client does not read: its memory goes back at once, and the loop drops what it has taken
  // and reports the connection lost.
  overflowed_ = true;
  bump(pool_.counters().unreadOutputDrops);
  std::vector<Item>().swap(outbox_);
  outboxBytes_ = 0;
  list_.reset();
  requestSend();
}

void ClientConnection::requestSend() {
  if (sendRequested_ || reactor() == nullptr) return;
  sendRequested_ = true;
  reactor()->queueOutput(this);
}

void ClientConnection::closeWhenSent() {
  pool_.assertLocked();
  closeAfterSend_ = true;
  requestSend();
}

void ClientConnection::takeOutput() {
  pool_.assertLocked();
  sendRequested_ = false;
  if (list_) refillFromList();
  failedSeen_ = overflowed_;
  if (inflight_.empty()) {
    inflight_.swap(outbox_);
  } else {
    for (Item& item : outbox_) inflight_.push_back(std::move(item));
  }
  // An idle connection holds no buffer.
  std::vector<Item>().swap(outbox_);
  inflightBytes_ += outboxBytes_;
  outboxBytes_ = 0;
  listTaken_ = list_ != nullptr;
  shutdownTaken_ = closeAfterSend_ && !list_;
}

bool ClientConnection::sendTaken() {
  if (failedSeen_) {
    failedSeen_ = false;
    inflight_.clear();
    inflightHead_ = headSent_ = 0;
    inflightBytes_ = 0;
    shutdown(2);
    reportFailure();
    return false;
  }
  return sendInflight();
}

bool ClientConnection::handleWrite() { return sendInflight(); }

bool ClientConnection::sendInflight() {
  for (;;) {
    while (inflightHead_ < inflight_.size()) {
      // Every waiting line (up to kSlices) goes out with one call, the head from where it stopped.
      sys::SendSlice slices[kSlices];
      int count = 0;
      for (std::size_t i = inflightHead_; i < inflight_.size() && count < kSlices; ++i) {
        const std::string& text = inflight_[i].text();
        const std::size_t skip = i == inflightHead_ ? headSent_ : 0;
        slices[count++] = {text.data() + skip, text.size() - skip};
      }
      const long sent = sendGathered(slices, count);
      if (sent < 0 && !lastErrorIsFatal()) return true;
      if (sent <= 0) {
        reportFailure();
        return false;
      }
      inflightBytes_ -= static_cast<std::size_t>(sent);
      bump(pool_.counters().bytesSent, static_cast<std::uint64_t>(sent));
      std::size_t left = static_cast<std::size_t>(sent);
      const std::size_t headBefore = inflightHead_;
      while (left > 0) {
        const std::size_t rest = inflight_[inflightHead_].text().size() - headSent_;
        if (left < rest) {
          headSent_ += left;
          break;
        }
        left -= rest;
        headSent_ = 0;
        ++inflightHead_;
      }
      bump(pool_.counters().linesSent, inflightHead_ - headBefore);
    }
    std::vector<Item>().swap(inflight_);
    inflightHead_ = 0;
    // A list in the making goes on as the socket takes it.
    if (!listTaken_) break;
    ReactorPool::Section section(pool_);
    takeOutput();
    if (inflight_.empty()) break;
  }
  if (shutdownTaken_ && !shutDown_) {
    shutDown_ = true;
    shutdown(1);
  }
  return false;
}

void ClientConnection::reportFailure() {
  ReactorPool::Section section(pool_);
  if (retiring_) {
    if (reactor() != nullptr) reactor()->finishRetired(this);
  } else if (owner_ != nullptr) {
    owner_->connectionLost();
  }
}

bool ClientConnection::readInput() {
  if (retiring_) return drainInput();
  // A partial line that fills the buffer asks for 0 bytes, gets 0 and counts as a closed peer.
  char buffer[kReceiveBufferSize];
  const int room = kReceiveBufferSize - static_cast<int>(partial_.size());
  const int received = receive(buffer, room);
  if (received < 0 && !lastErrorIsFatal()) return false;
  if (received <= 0) {
    ended_ = true;
  } else {
    partial_.append(buffer, static_cast<std::size_t>(received));
  }
  return true;
}

void ClientConnection::deliverInput() {
  if (retiring_) {
    reactor()->finishRetired(this);
    return;
  }
  deliverLines();
  if (!ended_) return;
  // What came before the end is handed on first.
  reactor()->setReadInterest(this, false);
  if (owner_ != nullptr) owner_->connectionLost();
}

void ClientConnection::deliverLines() {
  std::size_t start = 0;
  while (owner_ != nullptr && !paused_) {
    const std::size_t end = partial_.find('\n', start);
    if (end == std::string::npos) break;
    std::string_view line(partial_.data() + start, end + 1 - start);
    line = line.substr(0, line.find('\0'));
    const Clock::duration wait = owner_->handleLine(line);
    // The line may have ended the session ("quit"): nothing more reaches it.
    if (owner_ == nullptr) {
      partial_.clear();
      return;
    }
    if (wait > Clock::duration::zero()) {
      // Not now: this line and the rest stay, and reading stops until then.
      pause(Clock::now() + wait);
      break;
    }
    start = end + 1;
  }
  partial_.erase(0, start);
  if (partial_.empty()) std::string().swap(partial_);
}

void ClientConnection::pause(Clock::time_point at) {
  paused_ = true;
  resumeAt_ = at;
  if (reactor() != nullptr) reactor()->setReadInterest(this, false);
  armWake();
}

void ClientConnection::setDeadline(Clock::time_point at) {
  pool_.assertLocked();
  deadline_ = at;
  armWake();
}

void ClientConnection::armWake() {
  if (reactor() == nullptr) return;
  reactor()->cancelWake(this);
  const Clock::time_point next =
      std::min(paused_ ? resumeAt_ : Clock::time_point::max(), deadline_);
  if (next != Clock::time_point::max()) reactor()->wakeAt(this, next);
}

void ClientConnection::handleTimeout() {
  const Clock::time_point now = Clock::now();
  if (retiring_) {
    // Whatever the peer does, a retired connection ends when its time is up.
    if (now >= lingerUntil_) {
      reactor()->finishRetired(this);
    } else {
      reactor()->wakeAt(this, lingerUntil_);
    }
    return;
  }
  if (paused_ && now >= resumeAt_) {
    paused_ = false;
    // The lines kept go first; reading goes on when they have all been taken.
    deliverLines();
    if (owner_ != nullptr && !paused_) reactor()->setReadInterest(this, true);
  }
  if (deadline_ <= now) {
    deadline_ = Clock::time_point::max();
    if (owner_ != nullptr) owner_->deadlinePassed();
  }
  armWake();
}

void ClientConnection::retire(std::unique_ptr<ClientConnection> connection) {
  ReactorPool& pool = connection->pool_;
  pool.assertLocked();
  Reactor* reactor = connection->reactor();
  if (reactor == nullptr || connection->sock_ == kNoSocket) return;  // destroyed here
  connection->owner_ = nullptr;
  connection->retiring_ = true;
  connection->paused_ = false;
  connection->deadline_ = Clock::time_point::max();
  connection->lingerUntil_ = Clock::now() + kLinger;
  connection->closeWhenSent();
  reactor->setReadInterest(connection.get(), true);
  reactor->cancelWake(connection.get());
  reactor->wakeAt(connection.get(), connection->lingerUntil_);
  pool.retire(std::move(connection));
}

bool ClientConnection::drainInput() {
  constexpr int kReadsPerReadiness = 16;
  char scratch[kReceiveBufferSize];
  for (int read = 0; read < kReadsPerReadiness; ++read) {
    const int received = receive(scratch, sizeof scratch);
    if (received > 0) continue;
    return received == 0 || lastErrorIsFatal();
  }
  return false;
}

}  // namespace quorvane
