// The voice path: a thread of its own that waits on the voice socket, forwards voice datagrams
// as the VoiceDirectory allows, and passes the hellos that count to the control side. It never
// takes the loop lock, so voice never waits behind command handlers.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
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
  // Test hook; the program never calls it. The voice thread's work for every datagram waiting on
  // a socket that does not block, done on the calling thread while no voice thread runs.
  void relayWaiting();

 private:
  void run();
  // One receive and what it took: the number of datagrams, or -1 when the receive failed.
  int relayBatch();
  // One datagram: forwarded (into the batch being sent), passed on as a hello, or dropped.
  void take(std::uint8_t* datagram, int length, const Endpoint& from);
  void flush();

  DatagramSocket& socket_;
  VoiceDirectory& directory_;
  HelloSink hellos_;
  ServerMetrics& metrics_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  // The voice thread's own.
  std::uint8_t buffers_[DatagramSocket::kBatch][kDatagramSize] = {};
  DatagramSocket::Outgoing outgoing_[DatagramSocket::kBatch] = {};
  int outgoingCount_ = 0;
};

}  // namespace quorvane
