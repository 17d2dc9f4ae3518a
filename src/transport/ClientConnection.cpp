#include "transport/ClientConnection.h"

#include <algorithm>
#include <climits>
#include <cstring>

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

void ClientConnection::queueText(std::string text) {
  ReactorPool& pool = ReactorPool::instance();
  std::lock_guard<std::recursive_mutex> poolLock(pool.mutex());
  std::lock_guard<std::mutex> lock(queueLock_);
  if (overflowed_) return;
  const bool wasEmpty = sendQueue_.empty();
  if (queuedBytes_ + text.size() > kOutputLimit) {
    // The client does not read: give its memory back, shut the connection down, and let the
    // next send report it lost (the event loop may also see it end as input).
    overflowed_ = true;
    std::deque<SendItem>().swap(sendQueue_);
    queuedBytes_ = 0;
    shutdown(2);
  } else {
    queuedBytes_ += text.size();
    sendQueue_.push_back(SendItem{std::move(text), 0});
  }
  // While the queue holds items, a send is arranged already (Write registered, a send after the
  // handler call, or the send failed and the owner has been told); only a new batch needs one.
  if (wasEmpty && !sendPending_) arrangeSend(pool);
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
  if (sendQueue_.empty()) shutdown(1);
}

void ClientConnection::retire(std::unique_ptr<ClientConnection> connection) {
  ReactorPool& pool = ReactorPool::instance();
  std::lock_guard<std::recursive_mutex> poolLock(pool.mutex());
  if (connection->sock_ == kNoSocket) return;
  connection->owner_ = nullptr;
  connection->retiring_ = true;
  connection->shutdownWhenSent();
  pool.registerHandler(connection.get(), EventMask::Read);
  pool.retire(std::move(connection), kLinger);
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
    const int end = static_cast<int>(static_cast<const char*>(found) - data) + 1;
    std::string_view line(data + start, end - start);
    line = line.substr(0, line.find('\0'));
    start = end;
    if (owner_ == nullptr) {
      continue;
    }
    owner_->handleLine(line);
    // The line may have ended the session ("quit"): nothing more reaches it.
    if (owner_ == nullptr) {
      rxLength_ = 0;
      return false;
    }
  }
  // The buffer is left alone while lines are handed out, so every view stays valid; the partial
  // rest moves down once at the end.
  std::memmove(rxBuffer_.data(), data + start, rxLength_ - start);
  rxLength_ -= start;
  return true;
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
