// A thin owner of one IPv4 socket handle. Operations return a success flag or the raw count of the
// underlying call and never log; the caller decides what a failure means.
#pragma once

#include <string>

#include "transport/SocketApi.h"

namespace quorvane {

class Socket {
 public:
  enum Type { Stream = 1, Datagram = 2 };

  Socket() = default;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  // Closes an open handle; does not unregister it from the event loop (owners do that first).
  virtual ~Socket();

  // Opens an AF_INET socket of the given type and binds it (see bind). When the bind fails the
  // socket stays open.
  virtual bool create(int port, int type, const std::string& address = std::string());
  // Binds to the port on `address` (a dotted quad of at most 15 characters), or on every local
  // address when `address` is empty. Host names are not resolved here; a port outside 0..65535
  // fails.
  virtual bool bind(int port, const std::string& address = std::string());
  // False when there is no handle; the handle is gone afterwards in every case.
  virtual bool close();
  virtual bool listen(int backlog);
  // Accepts one pending connection into `target` (whose handle is replaced, -1 on failure).
  virtual bool accept(Socket& target);
  virtual bool connect(const std::string& address, int port);
  // how: 0 receive, 1 send, 2 both; any other value does nothing and succeeds.
  virtual bool shutdown(int how);
  virtual bool setNonBlocking(bool on);
  // recv: byte count, 0 when the peer closed, -1 on error.
  virtual int receive(void* buffer, int length);
  // recvfrom: on success the sender's dotted-quad address and host-order port. The result is the
  // datagram's real length, also when it was longer than `length` and so cut short (on Linux
  // through MSG_TRUNC; Windows reports such a datagram as an error), so callers can drop it.
  virtual int receiveFrom(void* buffer, int length, std::string& address, int& port);
  virtual int send(const void* bytes, int length);
  virtual int sendTo(const void* bytes, int length, int port, const std::string& address);
  // The same two with the sender or destination as a socket address: no text conversion, for the
  // voice path.
  int receiveFrom(void* buffer, int length, sockaddr_in& sender);
  int sendTo(const void* bytes, int length, const sockaddr_in& destination);
  // Sends the slices in order with one call: the byte count, or -1.
  virtual long sendGathered(const sys::SendSlice* slices, int count);
  // Protocol lines go out at once (TCP_NODELAY).
  bool setNoDelay();
  // The kernel's send buffer (SO_SNDBUF).
  bool setSendBufferSize(int bytes);

  // The socket's local IPv4 address as a dotted quad.
  bool localAddress(std::string& out) const;
  // The local port (host order), or -1.
  int localPort() const;
  // The connected peer's IPv4 address as a dotted quad and its port (host order).
  bool peerAddress(std::string& address, int& port) const;
  // True when the calling thread's last socket error is anything but "would block".
  static bool lastErrorIsFatal();
  // The system's text of the calling thread's last socket error, in one line.
  static std::string lastErrorText();

  SocketHandle sock() const { return sock_; }

 protected:
  SocketHandle sock_ = kNoSocket;
};

}  // namespace quorvane
