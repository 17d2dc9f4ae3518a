// Windows Sockets behind the calls of SocketApi.h.
#include "transport/SocketApi.h"

namespace quorvane::sys {

void startNetworking() {
  WSADATA data;
  ::WSAStartup(MAKEWORD(2, 2), &data);
}

void stopNetworking() { ::WSACleanup(); }

int closeSocket(SocketHandle handle) { return ::closesocket(native(handle)); }

bool setNonBlockingMode(SocketHandle handle, bool on) {
  u_long mode = on ? 1 : 0;
  return ::ioctlsocket(native(handle), FIONBIO, &mode) == 0;
}

int lastError() { return ::WSAGetLastError(); }

std::string errorText(int error) {
  char* buffer = nullptr;
  DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  std::string text = length == 0 || buffer == nullptr ? std::string() : std::string(buffer, length);
  if (buffer != nullptr) ::LocalFree(buffer);
  // The system's texts end in a line break, some in a period before it.
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' ||
                           text.back() == '.')) {
    text.pop_back();
  }
  if (!text.empty()) return text;
  // Some systems (Wine) have no texts for the socket errors; those a bind gives get a name.
  switch (error) {
    case WSAEADDRINUSE:
      return "address already in use (WSAEADDRINUSE)";
    case WSAEACCES:
      return "permission denied (WSAEACCES)";
    case WSAEADDRNOTAVAIL:
      return "address not available (WSAEADDRNOTAVAIL)";
    default:
      return "error " + std::to_string(error);
  }
}

bool isWouldBlock(int error) { return error == WSAEWOULDBLOCK; }


bool setNoDelay(SocketHandle handle) {
  BOOL on = TRUE;
  return ::setsockopt(native(handle), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                      sizeof on) == 0;
}

long sendGathered(SocketHandle handle, const SendSlice* slices, int count) {
  WSABUF buffers[64];
  count = count < 64 ? count : 64;
  for (int i = 0; i < count; ++i) {
    buffers[i].buf = const_cast<char*>(slices[i].data);
    buffers[i].len = static_cast<ULONG>(slices[i].length);
  }
  DWORD sent = 0;
  if (::WSASend(native(handle), buffers, static_cast<DWORD>(count), &sent, 0, nullptr, nullptr) != 0) {
    return -1;
  }
  return static_cast<long>(sent);
}

namespace {

// One datagram that is waiting into `buffer`: 1, 0 when none is waiting, or -1 on a failure.
int receiveOne(SocketHandle handle, std::uint8_t* buffer, int size, int& length,
               sockaddr_in& sender) {
  for (;;) {
    if (!waitReady(handle, false, 0)) return 0;
    int senderLength = sizeof(sockaddr_in);
    const int result = ::recvfrom(native(handle), reinterpret_cast<char*>(buffer), size, 0,
                                  reinterpret_cast<sockaddr*>(&sender), &senderLength);
    if (result != SOCKET_ERROR) {
      length = result;
      return 1;
    }
    const int error = ::WSAGetLastError();
    if (error == WSAEMSGSIZE) {
      length = size + 1;  // cut short: never acted on
      return 1;
    }
    // A send to a closed port earlier can surface here as a reset; it says nothing of this one.
    if (error != WSAECONNRESET) return -1;
  }
}

}  // namespace

int receiveDatagrams(SocketHandle handle, std::uint8_t* buffers, int size, int count, int* lengths,
                     sockaddr_in* senders, bool waitForFirst) {
  if (waitForFirst) waitReady(handle, false, -1);
  // Windows has no batched receive: one read a datagram, as long as one is waiting.
  int taken = 0;
  while (taken < count) {
    const int result = receiveOne(handle, buffers + taken * size, size, lengths[taken],
                                  senders[taken]);
    if (result < 0) return taken > 0 ? taken : -1;
    if (result == 0) break;
    ++taken;
  }
  return taken;
}

void sendDatagrams(SocketHandle handle, const OutgoingDatagram* datagrams, int count) {
  for (int i = 0; i < count; ++i) {
    ::sendto(native(handle), reinterpret_cast<const char*>(datagrams[i].bytes),
             datagrams[i].length, 0, reinterpret_cast<const sockaddr*>(&datagrams[i].destination),
             sizeof(sockaddr_in));
  }
}

bool waitReady(SocketHandle handle, bool forWrite, int timeoutMs) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(native(handle), &set);
  fd_set failed = set;
  timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return ::select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, &failed,
                  timeoutMs < 0 ? nullptr : &wait) > 0;
}

bool isOutOfDescriptors(int error) { return error == WSAEMFILE || error == WSAENOBUFS; }

SpareDescriptor::SpareDescriptor() = default;
SpareDescriptor::~SpareDescriptor() = default;
bool SpareDescriptor::release() { return false; }
void SpareDescriptor::reserve() {}

long raiseDescriptorLimit() { return -1; }

int sendFlags() { return 0; }

// Windows reports a datagram longer than the buffer as WSAEMSGSIZE, so callers drop it anyway.
void allowAddressReuse(SocketHandle) {}

int receiveFromFlags() { return 0; }

}  // namespace quorvane::sys
