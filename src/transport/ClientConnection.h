// The server's end of one client's TCP connection: cuts received bytes into lines for its owner
// and sends queued lines in order without ever blocking. Owned by its UserSession; the owner
// pointer is not owned.
#pragma once

#include <array>
#include <chrono>
#include <memory>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "transport/EventHandler.h"
#include "transport/ReactorPool.h"
#include "transport/Socket.h"

namespace quorvane {

class ClientConnection : public Socket, public EventHandler, public ReactorPool::PendingOutput {
 public:
  static constexpr int kReceiveBufferSize = 2048;
  // Unsent output beyond this counts as a lost connection: a client that stops reading cannot
  // make the server hold its lines without limit.
  static constexpr std::size_t kOutputLimit = 1 << 20;

  using Clock = std::chrono::steady_clock;

  // Receives lines and the loss notice. Called on an event-loop thread with the pool lock held.
  class Owner {
   public:
    // One received line, line feed included; the text ends early at a NUL byte. The view is valid
    // for the length of the call only. Returns zero when the line was taken, or how long to wait
    // before it may be: the connection then keeps it, stops reading (so the sender is slowed by
    // TCP itself), and offers the same line again after that time.
    virtual Clock::duration handleLine(std::string_view line) = 0;
    // The peer closed or the connection failed. Called once per failing call, after the queue
    // lock has been released.
    virtual void connectionLost() = 0;
    // The time given to setDeadline has come.
    virtual void deadlinePassed() {}

   protected:
    ~Owner() = default;
  };

  ClientConnection() = default;
  ~ClientConnection() override;

  // Stores the owner; with one registers for Read, with none unregisters Read, so no more lines
  // or loss notices arrive.
  void setOwner(Owner* owner);
  Owner* owner() const { return owner_; }

  // Queues one complete line for sending; never waits for the network. Registers Write when the
  // queue was empty. Any thread; takes the pool lock, then the queue lock. When the unsent output
  // would pass kOutputLimit, the queue is dropped and the connection shut down; the event loop
  // then reports it lost to the owner, as for any other failure.
  void queueText(std::string text);

  // Lines to send after everything queued so far, moved into the queue as the socket drains, so
  // that a list of any length arrives whole while little of it waits in memory at a time. The
  // list does not count against the output limit; lines queued while it lasts go out after it,
  // and do count.
  void queueList(std::vector<std::shared_ptr<const std::string>> lines);

  // Sends as much of the queue as the socket takes now, without blocking. Used before the server
  // shuts a connection down itself, so the lines it queued last still go out.
  void flushQueued();

  // The owner's deadlinePassed is called once `at` has come (a later call replaces the time).
  void setDeadline(Clock::time_point at);
  // Unsent output beyond `bytes` counts as a lost connection (kOutputLimit unless changed).
  void setOutputLimit(std::size_t bytes) { outputLimit_ = bytes; }
  // True while reading waits for the owner (see Owner::handleLine).
  bool paused() const { return paused_; }

  // How long a retired connection may wait for its peer to close.
  static constexpr std::chrono::seconds kLinger{5};

  // Shuts the sending side down once everything queued has been sent (at once when nothing is).
  void shutdownWhenSent();
  // Winds the connection down after its user is gone, without losing what is queued: the queue
  // is sent, the sending side shut down, and input read and dropped until the peer closes, so that
  // closing never resets the connection under lines still on their way. At most kLinger; the
  // event loop's pool owns it meanwhile.
  static void retire(std::unique_ptr<ClientConnection> connection);

  // Unregisters every kind, then closes.
  bool close() override;

  SocketHandle handle() const override { return sock_; }
  bool handleInput() override;
  bool handleOutput() override;
  // A pause, a deadline or the end of a retirement has come.
  void handleTimeout() override;
  // Output queued by a handler call, sent when the call has returned.
  void sendPendingOutput() override;

  // Lines waiting to be sent, and their unsent bytes (for tests and diagnostics).
  std::size_t queuedLines();
  std::size_t queuedBytes();

 private:
  struct SendItem {
    std::string text;
    std::size_t sent = 0;
  };
  // A list in the making (queueList): the lines still to come and what was queued behind them.
  struct PendingList {
    std::vector<std::shared_ptr<const std::string>> lines;
    std::size_t next = 0;
    std::deque<SendItem> after;
    std::size_t afterBytes = 0;
  };
  enum class SendResult { Drained, WouldBlock, Failed };

  // Hands every complete line in rxBuffer_ to the owner and keeps the partial rest. False when
  // the owner let go of the connection during a line; the remaining bytes are dropped then.
  bool deliverLines();
  // Sends from the head of the queue until it is empty, the socket would block, or a send fails.
  // Call with queueLock_ held.
  SendResult sendQueued();
  // A send failed: the owner hears of the loss, or a retired connection ends.
  void reportFailure();
  // Input of a retired connection: read and dropped; the peer's close ends the retirement.
  bool drainInput();
  // Has the queue sent after the handler call in progress, or else when the socket is writable.
  // Call with queueLock_ held.
  void arrangeSend(ReactorPool& pool);
  // Drops `bytes` sent bytes from the head of the queue. Call with queueLock_ held.
  void consumeSent(std::size_t bytes);
  // Moves lines of the pending list into the queue while it is short; when the list is done,
  // what was queued behind it follows. Call with queueLock_ held.
  void refillFromList();
  // The queue passed the output limit: everything is dropped and the connection shut down.
  void overflow();
  // Stops reading until `at`; the line at the head of the buffer is offered again then.
  void pause(Clock::time_point at);
  // Arranges the wake-up for the nearest of the pause's end and the deadline.
  void armWake();

  Owner* owner_ = nullptr;
  std::array<char, kReceiveBufferSize> rxBuffer_{};
  int rxLength_ = 0;
  std::deque<SendItem> sendQueue_;
  std::size_t queuedBytes_ = 0;
  std::size_t outputLimit_ = kOutputLimit;
  std::unique_ptr<PendingList> list_;
  Clock::time_point resumeAt_{};
  Clock::time_point deadline_ = Clock::time_point::max();
  Clock::time_point lingerUntil_{};
  bool paused_ = false;
  bool overflowed_ = false;
  bool sendPending_ = false;  // waiting in the event loop's list of output to send
  bool closeAfterSend_ = false;
  bool retiring_ = false;
  std::mutex queueLock_;
};

}  // namespace quorvane
