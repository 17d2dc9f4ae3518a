// The one place where POSIX sockets and Windows Sockets differ. Everything above this header is
// shared code. Internal to the transport; not for the protocol or the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace quorvane {

// A socket handle widened to a signed integer; -1 (kNoSocket) means "no socket" on every
// platform (INVALID_SOCKET converts to -1 on Windows).
using SocketHandle = std::intptr_t;
constexpr SocketHandle kNoSocket = -1;

namespace sys {

// Prepares the process for sockets, once at its start: starts Windows Sockets 2.2 (name lookup
// goes through getaddrinfo, which needs version 2); on POSIX, a write to a connection the peer
// has closed fails instead of ending the process (SIGPIPE ignored).
void startNetworking();
// Undoes startNetworking at the end of the process (nothing to do on POSIX).
void stopNetworking();

#ifdef _WIN32
using socklen_type = int;
inline SOCKET native(SocketHandle h) { return static_cast<SOCKET>(h); }
#else
using socklen_type = socklen_t;
inline int native(SocketHandle h) { return static_cast<int>(h); }
#endif

// Closes a socket handle; 0 on success.
int closeSocket(SocketHandle handle);

// Switches non-blocking mode (FIONBIO on Windows, O_NONBLOCK on POSIX); true on success.
bool setNonBlockingMode(SocketHandle handle, bool on);

// The calling thread's last socket error code.
int lastError();

// The system's text for a socket error code, in one line; "error N" when it has none.
std::string errorText(int error);

// True when the error code means "the call would block" (EAGAIN/EWOULDBLOCK, WSAEWOULDBLOCK).
bool isWouldBlock(int error);

// Parses a dotted quad like inet_addr: false for text that does not parse and, as inet_addr
// cannot tell them apart, for 255.255.255.255.
bool parseDottedQuad(const std::string& text, in_addr& out);

// The dotted-quad text of an IPv4 address.
std::string dottedQuad(const in_addr& address);

// Builds the destination of connect/sendTo: an empty text or a port outside 0..65535 gives an
// all-zero record (so the call that uses it fails); a dotted quad is used as it is; anything else
// is looked up as an IPv4 host name, and a name that does not resolve gives 255.255.255.255.
sockaddr_in resolveAddress(const std::string& text, int port);

// Lets a listening socket bind its port while connections of an earlier one are in TIME_WAIT
// (SO_REUSEADDR on POSIX). Nothing on Windows, where the option would let others take the port.
void allowAddressReuse(SocketHandle handle);

// Turns Nagle's algorithm off for a TCP connection (TCP_NODELAY): protocol lines go out at
// once instead of waiting for the peer's delayed acknowledgement.
bool setNoDelay(SocketHandle handle);

// One piece of a gathered send.
struct SendSlice {
  const char* data;
  std::size_t length;
};
// Sends the slices, in order, with one call (sendmsg / WSASend): the byte count, or -1.
long sendGathered(SocketHandle handle, const SendSlice* slices, int count);

// Receives up to `count` datagrams that are waiting (with one call where the platform has a
// batched one) into `count` consecutive buffers of `size` bytes: their lengths (larger than `size`
// for a datagram that did not fit) and senders. The number received (0 when none was waiting), or
// -1 on a failure. Without waiting, unless `waitForFirst`: then it first waits until a datagram is
// waiting (or the socket failed); on Linux in the same call, which needs a socket in blocking mode.
int receiveDatagrams(SocketHandle handle, std::uint8_t* buffers, int size, int count, int* lengths,
                     sockaddr_in* senders, bool waitForFirst = false);

// One datagram to send.
struct OutgoingDatagram {
  const std::uint8_t* bytes;
  int length;
  sockaddr_in destination;
};
// Sends the datagrams with as few calls as the platform allows (sendmmsg on Linux, where a run of
// datagrams of one length to one destination goes as one message that the kernel cuts into
// datagrams); failures of single datagrams are not reported, as for sendto.
void sendDatagrams(SocketHandle handle, const OutgoingDatagram* datagrams, int count);

// Waits up to `timeoutMs` (forever when negative) until the socket can be read (or written, with
// `forWrite`) without blocking, or has failed; false when the time ran out or the wait failed.
bool waitReady(SocketHandle handle, bool forWrite, int timeoutMs);

// True when the error code means the process or the system has no descriptor left.
bool isOutOfDescriptors(int error);

// A descriptor held in reserve so that a connection can still be accepted (and refused) when
// every other descriptor is in use. Nothing is reserved on Windows, which has no such limit.
class SpareDescriptor {
 public:
  SpareDescriptor();
  ~SpareDescriptor();
  SpareDescriptor(const SpareDescriptor&) = delete;
  SpareDescriptor& operator=(const SpareDescriptor&) = delete;
  // Gives the descriptor back to the system for a moment; false when none is held.
  bool release();
  // Takes one again.
  void reserve();

 private:
  int fd_ = -1;
};

// Raises the soft limit on open descriptors to the hard limit; the resulting soft limit, or -1
// where the platform has none.
long raiseDescriptorLimit();

// Flags for send(): never raise SIGPIPE on a connection the peer has closed.
int sendFlags();

// Flags for recvfrom() on a datagram socket: on Linux MSG_TRUNC, so a datagram longer than the
// buffer reports its real length instead of passing as a full buffer.
int receiveFromFlags();

}  // namespace sys
}  // namespace quorvane
