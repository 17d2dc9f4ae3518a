// The server's end of one client's TCP connection: cuts received bytes into lines for its owner
// and sends queued lines in order without ever blocking.
//
// Threads: its loop's thread reads and writes the socket and alone touches the partial line
// received and the output taken for sending; the owner, the output queue, the times and the flags
// are guarded by the loop lock, so any thread that holds it may queue lines, detach the owner or
// close the connection. Owned by its UserSession until retired, then by its loop, which destroys
// it when it is done.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "transport/EventHandler.h"
#include "transport/Socket.h"

namespace quorvane {

class ReactorPool;

class ClientConnection : public Socket, public EventHandler {
 public:
  using Clock = std::chrono::steady_clock;

  // The longest line kept; a longer one ends the connection as if the peer had closed it.
  static constexpr int kReceiveBufferSize = 2048;
  // Unsent output beyond this counts as a lost connection: a client that stops reading cannot
  // make the server hold its lines without limit.
  static constexpr std::size_t kOutputLimit = 1 << 20;
  // How long a retired connection may wait for its peer to close.
  static constexpr std::chrono::seconds kLinger{5};

  // Receives lines, the loss notice and the deadline. Called on the loop's thread with the loop
  // lock held.
  class Owner {
   public:
    // One received line, line feed included; the text ends early at a NUL byte. The view is valid
    // for the length of the call only. Returns zero when the line was taken, or how long to wait
    // before it may be: the connection then keeps it, stops reading (so the sender is slowed by
    // TCP itself), and offers the same line again after that time.
    virtual Clock::duration handleLine(std::string_view line) = 0;
    // The peer closed or the connection failed.
    virtual void connectionLost() = 0;
    // The time given to setDeadline has come.
    virtual void deadlinePassed() {}

   protected:
    ~Owner() = default;
  };

  explicit ClientConnection(ReactorPool& pool);
  // Loop lock held when it has ever been served by a loop.
  ~ClientConnection() override;

  // Everything below but the event calls: loop lock held.

  // With an owner, lines are read and handed to it (the first owner has the connection served
  // by a loop); with none, nothing more is read or reported.
  void setOwner(Owner* owner);
  Owner* owner() const { return owner_; }
  // Queues one complete line; sent by the loop, never waiting for the network. When the unsent
  // output would pass the limit, everything is dropped and the connection reported lost.
  void queueText(std::string text);
  // The same for a line that many connections send: queued without a copy.
  void queueShared(std::shared_ptr<const std::string> line);
  // Lines to send after everything queued so far, moved into the queue as the socket drains, so
  // that a list of any length arrives whole while little of it waits in memory at a time. The
  // list does not count against the output limit; lines queued while it lasts go out after it,
  // and do count.
  void queueList(std::vector<std::shared_ptr<const std::string>> lines);
  // Shuts the sending side down once everything queued has been sent.
  void closeWhenSent();
  // The owner's deadlinePassed is called once `at` has come (a later call replaces the time).
  void setDeadline(Clock::time_point at);
  void setOutputLimit(std::size_t bytes) { outputLimit_ = bytes; }
  // True while reading waits for the owner (see Owner::handleLine).
  bool paused() const { return paused_; }
  // Unsent output: queued and taken for sending.
  std::size_t unsentBytes() const { return outboxBytes_ + inflightBytes_; }
  // Winds the connection down after its user is gone, without losing what is queued: it is
  // sent, the sending side shut down, and input read and dropped until the peer closes, so that
  // closing never resets the connection under lines still on their way; at most kLinger.
  static void retire(std::unique_ptr<ClientConnection> connection);

  SocketHandle handle() const override { return sock_; }
  bool readInput() override;
  void deliverInput() override;
  bool handleWrite() override;
  void handleTimeout() override;
  void takeOutput() override;
  bool sendTaken() override;

 private:
  // One queued line: the connection's own, or one shared with other connections.
  struct Item {
    std::string own;
    std::shared_ptr<const std::string> shared;
    const std::string& text() const { return shared ? *shared : own; }
  };
  // A list in the making (queueList): the lines still to come and what was queued behind them.
  struct PendingList {
    std::vector<std::shared_ptr<const std::string>> lines;
    std::size_t next = 0;
    std::vector<Item> after;
    std::size_t afterBytes = 0;
  };
  // Queues an item (the limit, a list in the making, the send).
  void queueItem(Item item);

  // Lock held: has the loop take the output before it waits again.
  void requestSend();
  // Lock held: moves lines of the pending list into the queue while little waits; when the list
  // is done, what was queued behind it follows.
  void refillFromList();
  void overflow();
  // Lock held: hands every complete line to the owner and keeps the partial rest. Stops at a line
  // that must wait.
  void deliverLines();
  void pause(Clock::time_point at);
  void armWake();
  // The loop's thread, without the lock: sends what was taken; true while the socket is full.
  bool sendInflight();
  // The loop's thread: the connection failed or overflowed; the owner hears of it.
  void reportFailure();
  // The loop's thread: input of a retired connection is read and dropped until the peer closes;
  // true when it has.
  bool drainInput();

  ReactorPool& pool_;
  // Loop lock.
  Owner* owner_ = nullptr;
  std::vector<Item> outbox_;
  std::size_t outboxBytes_ = 0;
  std::size_t outputLimit_ = kOutputLimit;
  std::unique_ptr<PendingList> list_;
  Clock::time_point resumeAt_{};
  Clock::time_point deadline_ = Clock::time_point::max();
  Clock::time_point lingerUntil_{};
  bool paused_ = false;
  bool overflowed_ = false;
  bool closeAfterSend_ = false;
  bool sendRequested_ = false;
  std::atomic<bool> retiring_{false};
  // Written by the loop's thread, read by queueText for the limit.
  std::atomic<std::size_t> inflightBytes_{0};
  // The loop's thread.
  std::string partial_;                // a received line not yet complete
  std::vector<Item> inflight_;         // taken for sending, in order
  std::size_t inflightHead_ = 0;       // the first item not yet sent whole
  std::size_t headSent_ = 0;           // bytes of that item already sent
  bool failedSeen_ = false;            // the queue overflowed, as taken
  bool shutdownTaken_ = false;         // shut the sending side once what was taken is out
  bool listTaken_ = false;             // a list was in the making when the output was taken
  bool shutDown_ = false;
  bool ended_ = false;                 // the peer closed or the read failed, to hand on
};

}  // namespace quorvane
