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

  // Unregisters every kind, then closes.
  bool close() override;

  SocketHandle handle() const override { return sock_; }
  bool handleAccept() override;

 private:
  Owner* owner_;
};

}  // namespace quorvane
