// POSIX sockets behind the calls of SocketApi.h.
#include "transport/SocketApi.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <system_error>

namespace quorvane::sys {

void startNetworking() { std::signal(SIGPIPE, SIG_IGN); }

void stopNetworking() {}

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

std::string errorText(int error) {
  std::string text = std::system_category().message(error);
  return text.empty() ? "error " + std::to_string(error) : text;
}

bool isWouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }


bool setNoDelay(SocketHandle handle) {
  int on = 1;
  return ::setsockopt(native(handle), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

long sendGathered(SocketHandle handle, const SendSlice* slices, int count) {
  iovec vector[64];
  count = count < 64 ? count : 64;
  for (int i = 0; i < count; ++i) {
    vector[i].iov_base = const_cast<char*>(slices[i].data);
    vector[i].iov_len = slices[i].length;
  }
  msghdr message{};
  message.msg_iov = vector;
  message.msg_iovlen = static_cast<std::size_t>(count);
  return ::sendmsg(native(handle), &message, MSG_NOSIGNAL);
}

int receiveDatagrams(SocketHandle handle, std::uint8_t* buffers, int size, int count, int* lengths,
                     sockaddr_in* senders) {
  constexpr int kMost = 64;
  count = count < kMost ? count : kMost;
  mmsghdr messages[kMost] = {};
  iovec vectors[kMost];
  for (int i = 0; i < count; ++i) {
    vectors[i] = {buffers + static_cast<std::size_t>(i) * size, static_cast<std::size_t>(size)};
    messages[i].msg_hdr.msg_iov = &vectors[i];
    messages[i].msg_hdr.msg_iovlen = 1;
    messages[i].msg_hdr.msg_name = &senders[i];
    messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
  }
  int received = -1;
  do {
    received = ::recvmmsg(native(handle), messages, static_cast<unsigned>(count), MSG_DONTWAIT,
                          nullptr);
  } while (received < 0 && errno == EINTR);
  if (received < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  for (int i = 0; i < received; ++i) {
    const bool cut = messages[i].msg_hdr.msg_flags & MSG_TRUNC;
    lengths[i] = cut ? size + 1 : static_cast<int>(messages[i].msg_len);
  }
  return received;
}

void sendDatagrams(SocketHandle handle, const OutgoingDatagram* datagrams, int count) {
  constexpr int kMost = 64;
  mmsghdr messages[kMost] = {};
  iovec vectors[kMost];
  while (count > 0) {
    const int batch = count < kMost ? count : kMost;
    for (int i = 0; i < batch; ++i) {
      vectors[i] = {const_cast<std::uint8_t*>(datagrams[i].bytes),
                    static_cast<std::size_t>(datagrams[i].length)};
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
      messages[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&datagrams[i].destination);
      messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
    int sent = ::sendmmsg(native(handle), messages, static_cast<unsigned>(batch), 0);
    // A datagram that fails (no address yet, say) ends the call; the rest go in the next one.
    int done = sent > 0 ? sent : 1;
    datagrams += done;
    count -= done;
  }
}

bool waitReady(SocketHandle handle, bool forWrite, int timeoutMs) {
  pollfd entry{native(handle), static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
  int ready;
  do {
    ready = ::poll(&entry, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

bool isOutOfDescriptors(int error) { return error == EMFILE || error == ENFILE; }

SpareDescriptor::SpareDescriptor() { reserve(); }

SpareDescriptor::~SpareDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

bool SpareDescriptor::release() {
  if (fd_ < 0) return false;
  ::close(fd_);
  fd_ = -1;
  return true;
}

void SpareDescriptor::reserve() {
  if (fd_ < 0) fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

long raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long>(limit.rlim_cur);
}

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
