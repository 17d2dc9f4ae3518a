// The voice path: a thread of its own that waits on the voice socket, forwards voice datagrams
// as the VoiceDirectory allows, and passes the hellos that count to the control side. It never
// takes the loop lock, so voice never waits behind command handlers. On a busy machine a woken
// thread can wait milliseconds for a processor, so the event loops help: a loop that passes takes
// what is waiting on the socket, unless another loop did so less than kHelpGap ago or the voice
// thread (or another loop) is relaying just then. While no loop has looked for kQuietAfter, none
// would help: the voice thread then waits inside its receive, under the relaying lock, which
// saves a system call a wake-up on Linux; a loop that looks meanwhile finds the lock taken, and
// the thread waits outside it again from its next batch on. Datagrams are taken from the socket
// and relayed under one relaying lock, so each recipient's leave in the order they came, whichever
// thread relays them; a batch's datagrams go out grouped by recipient, so that the socket can send
// each recipient's with one pass down the network stack.
// The server ends the loops' help before it stops the voice thread: a helper that took the
// datagram that wakes the voice thread would leave it waiting.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "protocol/VoiceDatagram.h"
#include "server/ServerMetrics.h"
#include "server/VoiceDirectory.h"
#include "transport/DatagramSocket.h"

namespace quorvane {

class VoiceRelay {
 public:
  // A hello that counts: the user's id, where it came from, and whether it confirms the path.
  struct Hello {
    int id;
    Endpoint from;
    bool confirms;
  };
  // Receives hellos on the voice thread; it must not wait for the loop lock.
  using HelloSink = std::function<void(const Hello&)>;

  // Counts what it receives, forwards and drops into `metrics`, which must outlive it.
  VoiceRelay(DatagramSocket& socket, VoiceDirectory& directory, HelloSink hellos,
             ServerMetrics& metrics);
  VoiceRelay(const VoiceRelay&) = delete;
  VoiceRelay& operator=(const VoiceRelay&) = delete;
  ~VoiceRelay();

  // Starts the thread on an open socket.
  void start();
  // Ends the thread and waits for it. Any thread but the voice thread.
  void stop();
  // Any thread: relays one batch of what is waiting on the socket, without waiting for either
  // a datagram or the relaying of another thread; nothing when a helper looked less than
  // kHelpGap ago, so that busy loops look at most a few thousand times a second in all.
  void help();
  static constexpr std::chrono::microseconds kHelpGap{250};
  // The loops count as quiet when none has looked for this long: the voice thread then waits
  // for datagrams under the relaying lock.
  static constexpr std::chrono::milliseconds kQuietAfter{20};
  // Test hook; the program never calls it. The voice thread's work for every datagram waiting on
  // the socket, done on the calling thread.
  void relayWaiting();

 private:
  void run();
  // Relaying lock held: takes one batch of what is waiting (after waiting for a datagram, with
  // `waiting`) and relays it. The number taken (0 when nothing was waiting), or -1 when the
  // receive failed.
  int relayBatch(bool waiting = false);
  // True when no loop has looked for kQuietAfter.
  bool loopsQuiet() const;
  // One datagram: forwarded (into the batch being sent), passed on as a hello, or dropped.
  void take(std::uint8_t* datagram, int length, const Endpoint& from);
  void flush();
  // Orders the datagrams being sent by destination, so that the socket can send each
  // destination's as one message.
  void groupByDestination();

  DatagramSocket& socket_;
  VoiceDirectory& directory_;
  HelloSink hellos_;
  ServerMetrics& metrics_;
  std::atomic<bool> stopping_{false};
  // When a helper last looked, in steady-clock ticks.
  std::atomic<std::chrono::steady_clock::rep> lastHelp_{0};
  std::thread thread_;
  // Held by whoever relays (the voice thread or a helping loop), from the receive to the send.
  std::mutex relaying_;
  // Under the relaying lock.
  std::uint8_t buffers_[DatagramSocket::kBatch][kDatagramSize] = {};
  DatagramSocket::Outgoing outgoing_[DatagramSocket::kBatch] = {};
  int outgoingCount_ = 0;
};

}  // namespace quorvane
