// A UDP socket for datagrams of one fixed size, received and sent in batches. Receiving waits
// only when asked to (and waitForDatagram does); any thread may receive or send, each datagram
// whole.
#pragma once

#include <cstdint>
#include <string>

#include "transport/Endpoint.h"
#include "transport/Socket.h"

namespace quorvane {

class DatagramSocket : public Socket {
 public:
  // Datagrams taken or handed over per call at most.
  static constexpr int kBatch = 64;

  // One datagram to send.
  struct Outgoing {
    const std::uint8_t* bytes;
    int length;
    Endpoint destination;
  };

  DatagramSocket() = default;

  // The single-datagram calls of Socket stay callable beside the batched ones.
  using Socket::receive;
  using Socket::send;

  // Takes up to `count` (at most kBatch) of the datagrams waiting into consecutive buffers of
  // `size` bytes: their lengths (larger than `size` for one that did not fit) and senders. The
  // number taken, 0 when none was waiting, or -1 on a failure. Without waiting, unless
  // `waitForFirst`: then it first waits until a datagram is waiting; on Linux in the same call,
  // for a socket in blocking mode (as created).
  int receive(std::uint8_t* buffers, int size, int count, int* lengths, Endpoint* senders,
              bool waitForFirst = false);
  // Sends the datagrams, many with one call where the platform allows; failures of single
  // datagrams are not reported.
  void send(const Outgoing* datagrams, int count);
  // Waits until a datagram is waiting (or the socket failed), without taking it.
  void waitForDatagram();
  // Ends a wait in waitForDatagram on another thread: a datagram of no bytes from the socket to
  // itself.
  void wakeReceiver();
};

}  // namespace quorvane
