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
  // how: 0 receive, 1 send, 2 both; any other value does nothing and succeeds.
  virtual bool shutdown(int how);
  virtual bool setNonBlocking(bool on);
  // recv: byte count, 0 when the peer closed, -1 on error.
  virtual int receive(void* buffer, int length);
  virtual int send(const void* bytes, int length);
  // sendto: one datagram to a socket address.
  int sendTo(const void* bytes, int length, const sockaddr_in& destination);
  // Sends the slices in order with one call: the byte count, or -1.
  virtual long sendGathered(const sys::SendSlice* slices, int count);
  // Protocol lines go out at once (TCP_NODELAY).
  bool setNoDelay();
  // The kernel's send buffer (SO_SNDBUF).
  bool setSendBufferSize(int bytes);

  // The local port (host order), or -1.
  int localPort() const;
  // The connected peer's IPv4 address as a dotted quad and its port (host order).
  bool peerAddress(std::string& address, int& port) const;
  // True when the calling thread's last socket error is anything but "would block".
  static bool lastErrorIsFatal();
  // The system's text of the calling thread's last socket error, in one line.
  static std::string lastErrorText();

  SocketHandle sock() const { return sock_; }

  // Test hooks; the program never calls them. A connection to `address` and `port`; the local
  // address as a dotted quad; recvfrom with the sender's dotted-quad address and host-order port,
  // whose result is the datagram's real length, also when it was longer than `length` and so cut
  // short (on Linux through MSG_TRUNC; Windows reports such a datagram as an error); sendto a
  // dotted quad or host name.
  bool connect(const std::string& address, int port);
  bool localAddress(std::string& out) const;
  int receiveFrom(void* buffer, int length, std::string& address, int& port);
  int sendTo(const void* bytes, int length, int port, const std::string& address);

 protected:
  SocketHandle sock_ = kNoSocket;
};

}  // namespace quorvane
