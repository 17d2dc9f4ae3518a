// The listening TCP socket. Its accept readiness is passed to its owner (the server), which
// accepts the connection. Owns its handle; does not own the owner.
#pragma once

#include "transport/EventHandler.h"
#include "transport/Socket.h"

namespace quorvane {

class ListenSocket : public Socket, public EventHandler {
 public:
  // Receives accept readiness. Called on an event-loop thread with the pool lock held.
  class Owner {
   public:
    // Accepts one pending connection from `listener`; true when one was accepted (so another
    // may be waiting), false when none was pending or it could not be taken.
    virtual bool acceptConnection(ListenSocket& listener) = 0;

   protected:
    ~Owner() = default;
  };

  explicit ListenSocket(Owner* owner = nullptr) : owner_(owner) {}
  ~ListenSocket() override = default;

  // Stores the owner; with one registers for Accept, with none unregisters Accept.
  void setOwner(Owner* owner);
  Owner* owner() const { return owner_; }

  // Connections taken per readiness at most, so that one burst cannot starve the other sockets.
  static constexpr int kAcceptsPerReadiness = 64;

  // Unregisters every kind, then closes.
  bool close() override;
  // Accepts one pending connection. When no descriptor is left, the pending connection is taken
  // with the spare descriptor and closed at once, so it does not keep the listener ready forever.
  bool accept(Socket& target) override;

  SocketHandle handle() const override { return sock_; }
  // Hands pending connections to the owner until none is left or the bound is reached.
  bool handleAccept() override;

 private:
  Owner* owner_;
  sys::SpareDescriptor spare_;
};

}  // namespace quorvane
