#include "transport/ClientConnection.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "transport/ReactorPool.h"

namespace quorvane {

void ClientConnection::setOwner(Owner* owner) {
  ReactorPool& pool = ReactorPool::instance();
  std::lock_guard<std::recursive_mutex> lock(pool.mutex());
  owner_ = owner;
  if (owner != nullptr) {
    pool.registerHandler(this, EventMask::Read);
  } else {
    pool.unregisterHandler(this, EventMask::Read);
  }
}

namespace {

// A list in the making keeps about this share of the output limit waiting in the queue.
constexpr std::size_t kListShare = 4;

}  // namespace

void ClientConnection::queueText(std::string text) {
  ReactorPool& pool = ReactorPool::instance();
  std::lock_guard<std::recursive_mutex> poolLock(pool.mutex());
  std::lock_guard<std::mutex> lock(queueLock_);
  if (overflowed_) return;
  const bool wasEmpty = sendQueue_.empty();
  const std::size_t waiting = queuedBytes_ + (list_ ? list_->afterBytes : 0);
  if (waiting + text.size() > outputLimit_) {
    overflow();
  } else if (list_) {
    // Behind a list in the making: it goes out when the list is done.
    list_->afterBytes += text.size();
    list_->after.push_back(SendItem{std::move(text), 0});
    return;
  } else {
    queuedBytes_ += text.size();
    sendQueue_.push_back(SendItem{std::move(text), 0});
  }
  // While the queue holds items, a send is arranged already (Write registered, a send after the
  // handler call, or the send failed and the owner has been told); only a new batch needs one.
  if (wasEmpty && !sendPending_) arrangeSend(pool);
}

void ClientConnection::queueList(std::vector<std::shared_ptr<const std::string>> lines) {
  ReactorPool& pool = ReactorPool::instance();
  std::lock_guard<std::recursive_mutex> poolLock(pool.mutex());
  std::lock_guard<std::mutex> lock(queueLock_);
  if (overflowed_ || lines.empty()) return;
  if (list_) {
    // A second list follows the first and what was queued behind it.
    for (const auto& line : lines) {
      list_->afterBytes += line->size();
      list_->after.push_back(SendItem{*line, 0});
    }
    return;
  }
  const bool wasEmpty = sendQueue_.empty();
  list_ = std::make_unique<PendingList>();
  list_->lines = std::move(lines);
  refillFromList();
  if (wasEmpty && !sendPending_) arrangeSend(pool);
}

void ClientConnection::refillFromList() {
  const std::size_t share = std::max<std::size_t>(outputLimit_ / kListShare, 1);
  while (list_ && queuedBytes_ < share) {
    if (list_->next < list_->lines.size()) {
      const std::string& line = *list_->lines[list_->next++];
      queuedBytes_ += line.size();
      sendQueue_.push_back(SendItem{line, 0});
      continue;
    }
    for (SendItem& item : list_->after) sendQueue_.push_back(std::move(item));
    queuedBytes_ += list_->afterBytes;
    list_.reset();
  }
}

void ClientConnection::overflow() {
  // The client does not read: give its memory back, shut the connection down, and let the next
  // send report it lost (the event loop may also see it end as input).
  overflowed_ = true;
  std::deque<SendItem>().swap(sendQueue_);
  queuedBytes_ = 0;
  list_.reset();
  shutdown(2);
}

void ClientConnection::arrangeSend(ReactorPool& pool) {
  if (ReactorPool::sendAfterHandler(this)) {
    sendPending_ = true;
  } else {
    pool.registerHandler(this, EventMask::Write);
  }
}

ClientConnection::~ClientConnection() {
  if (sendPending_) ReactorPool::forgetPendingOutput(this);
  ReactorPool::instance().cancelWake(this);
}

void ClientConnection::sendPendingOutput() {
  SendResult result;
  {
    std::lock_guard<std::mutex> lock(queueLock_);
    sendPending_ = false;
    result = sendQueued();
    if (result == SendResult::WouldBlock) {
      ReactorPool::instance().registerHandler(this, EventMask::Write);
    }
  }
  if (result == SendResult::Failed) reportFailure();
}

void ClientConnection::reportFailure() {
  if (retiring_) {
    ReactorPool::instance().finishRetired(this);
  } else if (owner_ != nullptr) {
    owner_->connectionLost();
  }
}

void ClientConnection::flushQueued() {
  std::lock_guard<std::recursive_mutex> poolLock(ReactorPool::instance().mutex());
  std::lock_guard<std::mutex> lock(queueLock_);
  // Best effort: a failure is reported by the next handleOutput, if the connection lives on.
  sendQueued();
}

bool ClientConnection::close() {
  ReactorPool& pool = ReactorPool::instance();
  std::lock_guard<std::recursive_mutex> lock(pool.mutex());
  pool.unregisterHandler(this, EventMask::All);
  return Socket::close();
}

std::size_t ClientConnection::queuedLines() {
  std::lock_guard<std::recursive_mutex> poolLock(ReactorPool::instance().mutex());
  std::lock_guard<std::mutex> lock(queueLock_);
  return sendQueue_.size();
}

std::size_t ClientConnection::queuedBytes() {
  std::lock_guard<std::recursive_mutex> poolLock(ReactorPool::instance().mutex());
  std::lock_guard<std::mutex> lock(queueLock_);
  return queuedBytes_;
}

void ClientConnection::shutdownWhenSent() {
  std::lock_guard<std::recursive_mutex> poolLock(ReactorPool::instance().mutex());
  std::lock_guard<std::mutex> lock(queueLock_);
  closeAfterSend_ = true;
  if (sendQueue_.empty() && !list_) shutdown(1);
}

void ClientConnection::retire(std::unique_ptr<ClientConnection> connection) {
  ReactorPool& pool = ReactorPool::instance();
  std::lock_guard<std::recursive_mutex> poolLock(pool.mutex());
  if (connection->sock_ == kNoSocket) return;
  connection->owner_ = nullptr;
  connection->retiring_ = true;
  connection->paused_ = false;
  connection->deadline_ = Clock::time_point::max();
  connection->lingerUntil_ = Clock::now() + kLinger;
  connection->shutdownWhenSent();
  pool.registerHandler(connection.get(), EventMask::Read);
  pool.wakeAt(connection.get(), connection->lingerUntil_);
  pool.retire(std::move(connection));
}

void ClientConnection::setDeadline(Clock::time_point at) {
  std::lock_guard<std::recursive_mutex> poolLock(ReactorPool::instance().mutex());
  deadline_ = at;
  armWake();
}

void ClientConnection::armWake() {
  ReactorPool& pool = ReactorPool::instance();
  pool.cancelWake(this);
  const Clock::time_point next = std::min(paused_ ? resumeAt_ : Clock::time_point::max(),
                                          deadline_);
  if (next != Clock::time_point::max()) pool.wakeAt(this, next);
}

void ClientConnection::pause(Clock::time_point at) {
  paused_ = true;
  resumeAt_ = at;
  armWake();
}

void ClientConnection::handleTimeout() {
  ReactorPool& pool = ReactorPool::instance();
  const Clock::time_point now = Clock::now();
  if (retiring_) {
    // Whatever the peer does, a retired connection ends when its time is up.
    if (now >= lingerUntil_) {
      pool.finishRetired(this);
    } else {
      pool.wakeAt(this, lingerUntil_);
    }
    return;
  }
  if (paused_ && now >= resumeAt_) {
    paused_ = false;
    // The lines kept in the buffer go first; reading goes on when they have all been taken.
    if (owner_ != nullptr && deliverLines() && !paused_) pool.registerHandler(this, EventMask::Read);
  }
  if (deadline_ <= now) {
    deadline_ = Clock::time_point::max();
    if (owner_ != nullptr) owner_->deadlinePassed();
  }
  armWake();
}

bool ClientConnection::drainInput() {
  constexpr int kReadsPerReadiness = 16;
  char scratch[kReceiveBufferSize];
  for (int read = 0; read < kReadsPerReadiness; ++read) {
    const int received = receive(scratch, sizeof scratch);
    if (received > 0) continue;
    if (received < 0 && !lastErrorIsFatal()) return true;
    ReactorPool::instance().finishRetired(this);
    return false;
  }
  return true;
}

bool ClientConnection::handleInput() {
  if (retiring_) return drainInput();
  // A full buffer without a line feed asks for 0 bytes, gets 0 and counts as a closed peer.
  int received = receive(rxBuffer_.data() + rxLength_, kReceiveBufferSize - rxLength_);
  if (received < 0 && !lastErrorIsFatal()) {
    return true;
  }
  if (received <= 0) {
    if (owner_ != nullptr) {
      owner_->connectionLost();
    }
    return false;
  }
  rxLength_ += received;
  return deliverLines();
}

bool ClientConnection::deliverLines() {
  const char* data = rxBuffer_.data();
  int start = 0;
  while (const void* found = std::memchr(data + start, '\n', rxLength_ - start)) {
    const int lineStart = start;
    const int end = static_cast<int>(static_cast<const char*>(found) - data) + 1;
    std::string_view line(data + start, end - start);
    line = line.substr(0, line.find('\0'));
    start = end;
    if (owner_ == nullptr) {
      continue;
    }
    const Clock::duration wait = owner_->handleLine(line);
    // The line may have ended the session ("quit"): nothing more reaches it.
    if (owner_ == nullptr) {
      rxLength_ = 0;
      return false;
    }
    if (wait > Clock::duration::zero()) {
      // Not now: this line and the rest stay in the buffer, and reading stops until then.
      start = lineStart;
      pause(Clock::now() + wait);
      break;
    }
  }
  // The buffer is left alone while lines are handed out, so every view stays valid; the partial
  // rest moves down once at the end.
  std::memmove(rxBuffer_.data(), data + start, rxLength_ - start);
  rxLength_ -= start;
  return !paused_;
}

bool ClientConnection::handleOutput() {
  SendResult result;
  {
    std::lock_guard<std::mutex> lock(queueLock_);
    result = sendQueued();
  }
  if (result == SendResult::Failed) {
    reportFailure();
    return false;
  }
  // Drained: the loop drops Write, and the next queueText on the empty queue registers it again.
  return result == SendResult::WouldBlock;
}

ClientConnection::SendResult ClientConnection::sendQueued() {
  if (overflowed_) return SendResult::Failed;
  constexpr int kSlices = 64;
  sys::SendSlice slices[kSlices];
  while (!sendQueue_.empty()) {
    // Every waiting line (up to kSlices) goes out with one call, the head from where it stopped.
    int count = 0;
    for (auto it = sendQueue_.begin(); it != sendQueue_.end() && count < kSlices; ++it) {
      slices[count++] = {it->text.data() + it->sent, it->text.size() - it->sent};
    }
    long result = sendGathered(slices, count);
    if (result < 0) {
      return lastErrorIsFatal() ? SendResult::Failed : SendResult::WouldBlock;
    }
    if (result == 0 && slices[0].length != 0) {
      return SendResult::Failed;
    }
    consumeSent(static_cast<std::size_t>(result));
    if (list_) refillFromList();
  }
  if (closeAfterSend_) shutdown(1);
  return SendResult::Drained;
}

void ClientConnection::consumeSent(std::size_t bytes) {
  queuedBytes_ -= bytes;
  while (!sendQueue_.empty()) {
    SendItem& item = sendQueue_.front();
    std::size_t rest = item.text.size() - item.sent;
    if (bytes < rest) {
      // A partial send: the rest of this line goes first next time.
      item.sent += bytes;
      return;
    }
    bytes -= rest;
    sendQueue_.pop_front();
  }
}

}  // namespace quorvane
