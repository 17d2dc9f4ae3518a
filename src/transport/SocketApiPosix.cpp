// POSIX sockets behind the calls of SocketApi.h.
#include "transport/SocketApi.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace quorvane::sys {

int closeSocket(SocketHandle handle) { return ::close(native(handle)); }

bool setNonBlockingMode(SocketHandle handle, bool on) {
  int flags = ::fcntl(native(handle), F_GETFL);
  if (flags < 0) {
    return false;
  }
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(native(handle), F_SETFL, flags) == 0;
}

int lastError() { return errno; }

bool isWouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

void setLastError(int error) { errno = error; }

int sendFlags() { return MSG_NOSIGNAL; }

void allowAddressReuse(SocketHandle handle) {
  int on = 1;
  ::setsockopt(native(handle), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

int receiveFromFlags() {
#ifdef __linux__
  return MSG_TRUNC;
#else
  return 0;
#endif
}

}  // namespace quorvane::sys
