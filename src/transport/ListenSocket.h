// The listening TCP socket. Accepts pending connections and hands each to its owner (the
// server). Owns its handle; does not own the owner. Served by a loop while it has an owner.
#pragma once

#include <memory>
#include <vector>

#include "transport/ClientConnection.h"
#include "transport/EventHandler.h"
#include "transport/Socket.h"

namespace quorvane {

class ReactorPool;

class ListenSocket : public Socket, public EventHandler {
 public:
  // Receives accepted connections, on a loop's thread with the loop lock held.
  class Owner {
   public:
    virtual void acceptConnection(std::unique_ptr<ClientConnection> connection) = 0;

   protected:
    ~Owner() = default;
  };

  explicit ListenSocket(ReactorPool& pool) : pool_(pool) {}
  // Loop lock held when it has an owner.
  ~ListenSocket() override;

  // Loop lock held. With an owner the socket is served by a loop; with none it is not.
  void setOwner(Owner* owner);
  // Connections taken per readiness at most, so that one burst cannot starve the other sockets.
  static constexpr int kAcceptsPerReadiness = 64;

  // Loop lock held: no longer served, then closed.
  bool close() override;
  // Accepts one pending connection. When no descriptor is left, the pending connection is taken
  // with the spare descriptor and closed at once, so it does not keep the listener ready forever.
  bool accept(Socket& target) override;

  SocketHandle handle() const override { return sock_; }
  // Accepts pending connections until none is left or the bound is reached, and hands them to
  // the owner.
  bool readInput() override;
  void deliverInput() override;

 private:
  ReactorPool& pool_;
  Owner* owner_ = nullptr;
  sys::SpareDescriptor spare_;
  std::vector<std::unique_ptr<ClientConnection>> accepted_;  // the loop's thread
};

}  // namespace quorvane
