// Windows Sockets behind the calls of SocketApi.h. The library is started by the process entry.
#include "transport/SocketApi.h"

namespace quorvane::sys {

int closeSocket(SocketHandle handle) { return ::closesocket(native(handle)); }

bool setNonBlockingMode(SocketHandle handle, bool on) {
  u_long mode = on ? 1 : 0;
  return ::ioctlsocket(native(handle), FIONBIO, &mode) == 0;
}

int lastError() { return ::WSAGetLastError(); }

bool isWouldBlock(int error) { return error == WSAEWOULDBLOCK; }

void setLastError(int error) { ::WSASetLastError(error); }

int sendFlags() { return 0; }

// Windows reports a datagram longer than the buffer as WSAEMSGSIZE, so callers drop it anyway.
void allowAddressReuse(SocketHandle) {}

int receiveFromFlags() { return 0; }

}  // namespace quorvane::sys
