// The UDP voice socket. Every readiness reads one datagram; only datagrams of exactly
// kDatagramSize bytes of the kinds the owner acts on reach it. Non-blocking, so a spurious
// readiness never blocks an event loop.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "transport/EventHandler.h"
#include "transport/Socket.h"

namespace quorvane {

constexpr int kDatagramSize = 150;
using Datagram = std::span<std::uint8_t, kDatagramSize>;

// Datagram kinds (byte 0).
enum DatagramKind : std::uint8_t {
  kVoiceHello = 1,
  kVoiceHelloReply = 2,
  kVoiceKeepAlive = 3,
  kVoiceForwarded = 4,
  kVoiceToForward = 5,
};

class DatagramSocket : public Socket, public EventHandler {
 public:
  // Receives the datagrams the server acts on. Called on an event-loop thread with the pool lock
  // held. The datagram lives in the socket's receive buffer and may be changed and sent on.
  // (Qualified: inside this class, Datagram alone names Socket::Type's enumerator.)
  class Owner {
   public:
    virtual void onVoiceHello(quorvane::Datagram datagram, const std::string& address,
                              int port) = 0;
    virtual void onVoiceForward(quorvane::Datagram datagram, const sockaddr_in& sender) = 0;

   protected:
    ~Owner() = default;
  };

  explicit DatagramSocket(Owner* owner = nullptr) : owner_(owner) {}
  ~DatagramSocket() override = default;

  // Stores the owner; with one registers for Read, with none unregisters Read.
  void setOwner(Owner* owner);
  Owner* owner() const { return owner_; }

  // Opens and binds the socket (see Socket::create), always in non-blocking mode: the input
  // handler reads until nothing is left.
  bool create(int port, int type, const std::string& address = std::string()) override;
  // Unregisters every kind, then closes.
  bool close() override;

  SocketHandle handle() const override { return sock_; }
  // Datagrams read per readiness at most (with one call where the platform allows), so that a
  // stream of voice cannot starve the other sockets of its event loop.
  static constexpr int kDatagramsPerReadiness = 64;

  // Reads the waiting datagrams. Wrong sizes and unknown kinds are dropped; kind 1 goes to
  // onVoiceHello, kind 5 to onVoiceForward, kind 3 is ignored. False (drop the registration)
  // only when a kind that needs an owner arrives and there is none.
  bool handleInput() override;

  // Sends a datagram that lies in this socket's receive buffers (a forwarded one): during
  // handleInput it goes out with the others of the same readiness, in one call; otherwise at once.
  void sendReceived(const std::uint8_t* datagram, const sockaddr_in& destination);
  // Sends a datagram of the owner's own (a reply) in order with the forwarded ones: during
  // handleInput it is copied into the same batch; otherwise it goes out at once.
  void sendOwn(const std::uint8_t* datagram, const sockaddr_in& destination);
  // Sends the same datagram to every destination, many with one call where the platform allows.
  void sendToEach(const std::uint8_t* datagram, const std::vector<sockaddr_in>& destinations);

 private:
  // Hands one received datagram to the owner; false when it needs an owner and there is none.
  bool deliver(std::uint8_t* datagram, int length, const sockaddr_in& sender);
  void sendBatch();

  Owner* owner_;
  std::uint8_t buffers_[kDatagramsPerReadiness][kDatagramSize] = {};
  std::uint8_t own_[kDatagramsPerReadiness][kDatagramSize] = {};
  sys::OutgoingDatagram outgoing_[kDatagramsPerReadiness] = {};
  int outgoingCount_ = 0;
  int ownCount_ = 0;
  bool batching_ = false;
};

}  // namespace quorvane
