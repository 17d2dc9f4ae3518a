// A UDP socket for datagrams of one fixed size, received and sent in batches. One thread receives
// (and waits in receive); any thread may send, each datagram whole.
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

  // Waits until at least one datagram has arrived, then takes up to `count` (at most kBatch)
  // into consecutive buffers of `size` bytes: their lengths (larger than `size` for one that did
  // not fit) and senders. The number taken, 0 when woken without one, or -1 on a failure.
  int receive(std::uint8_t* buffers, int size, int count, int* lengths, Endpoint* senders);
  // Sends the datagrams, many with one call where the platform allows; failures of single
  // datagrams are not reported.
  void send(const Outgoing* datagrams, int count);
  // Ends a wait in receive on another thread: a datagram of no bytes from the socket to itself.
  void wakeReceiver();
};

}  // namespace quorvane
