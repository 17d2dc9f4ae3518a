// POSIX sockets behind the calls of SocketApi.h.
#include "transport/SocketApi.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
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
                     sockaddr_in* senders, bool waitForFirst) {
  // Waiting, it blocks for the first datagram only; the others are those waiting by then.
  const int flags = waitForFirst ? MSG_WAITFORONE : MSG_DONTWAIT;
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
    received = ::recvmmsg(native(handle), messages, static_cast<unsigned>(count), flags, nullptr);
  } while (received < 0 && errno == EINTR);
  if (received < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  for (int i = 0; i < received; ++i) {
    const bool cut = messages[i].msg_hdr.msg_flags & MSG_TRUNC;
    lengths[i] = cut ? size + 1 : static_cast<int>(messages[i].msg_len);
  }
  return received;
}

namespace {

// A segmented message's bytes at most: what one UDP datagram may carry.
constexpr long kMostSegmentedBytes = 65507;

bool sameDestination(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// Consecutive datagrams of `datagrams` (at most `limit`) that go to the first one's destination
// and have its length: those the kernel can cut from one segmented message.
int sameRun(const OutgoingDatagram* datagrams, int count, int limit) {
  int run = 1;
  while (run < count && run < limit && datagrams[run].length == datagrams[0].length &&
         (run + 1L) * datagrams[0].length <= kMostSegmentedBytes &&
         sameDestination(datagrams[run].destination, datagrams[0].destination)) {
    ++run;
  }
  return run;
}

// Cleared for good when the kernel cannot segment (one older than 4.18, say).
std::atomic<bool> segmenting{true};

bool refusesSegmenting(int error) {
  return error == EINVAL || error == EIO || error == ENOPROTOOPT || error == EOPNOTSUPP;
}

bool sendOne(SocketHandle handle, const OutgoingDatagram& datagram) {
  return ::sendto(native(handle), datagram.bytes, static_cast<std::size_t>(datagram.length), 0,
                  reinterpret_cast<const sockaddr*>(&datagram.destination),
                  sizeof datagram.destination) >= 0;
}

// Room for the control message that sets the segment size.
constexpr std::size_t kSegmentControl = CMSG_SPACE(sizeof(std::uint16_t));

// `message` sends the `run` datagrams from `first` (their pieces in `vectors`); a run of more than
// one is segmented, with the control message in `control` (kSegmentControl bytes).
void fillMessage(mmsghdr& message, iovec* vectors, char* control, const OutgoingDatagram* first,
                 int run) {
  for (int i = 0; i < run; ++i) {
    vectors[i] = {const_cast<std::uint8_t*>(first[i].bytes),
                  static_cast<std::size_t>(first[i].length)};
  }
  message = {};
  msghdr& header = message.msg_hdr;
  header.msg_iov = vectors;
  header.msg_iovlen = static_cast<std::size_t>(run);
  header.msg_name = const_cast<sockaddr_in*>(&first->destination);
  header.msg_namelen = sizeof(sockaddr_in);
  if (run == 1) return;
  header.msg_control = control;
  header.msg_controllen = kSegmentControl;
  cmsghdr* segment = CMSG_FIRSTHDR(&header);
  segment->cmsg_level = SOL_UDP;
  segment->cmsg_type = UDP_SEGMENT;
  segment->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
  const auto size = static_cast<std::uint16_t>(first->length);
  std::memcpy(CMSG_DATA(segment), &size, sizeof size);
}

}  // namespace

void sendDatagrams(SocketHandle handle, const OutgoingDatagram* datagrams, int count) {
  // Runs of datagrams to one destination go as one message that the kernel cuts into datagrams
  // (UDP segmentation): one pass down the stack for the run instead of one for each datagram.
  constexpr int kMost = 64;
  mmsghdr messages[kMost];
  iovec vectors[kMost];
  alignas(cmsghdr) char controls[kMost][kSegmentControl];
  int runs[kMost];
  while (count > 0) {
    const bool segment = segmenting;
    int batch = 0, used = 0;
    for (; used < count && used < kMost; ++batch) {
      const int run = segment ? sameRun(&datagrams[used], count - used, kMost - used) : 1;
      fillMessage(messages[batch], &vectors[used], controls[batch], &datagrams[used], run);
      runs[batch] = run;
      used += run;
    }
    const int sent = ::sendmmsg(native(handle), messages, static_cast<unsigned>(batch), 0);
    int done = 0;
    if (sent > 0) {
      // A message that failed after others were sent comes first in the next call.
      for (int i = 0; i < sent; ++i) done += runs[i];
    } else if (runs[0] > 1 && refusesSegmenting(errno) && sendOne(handle, datagrams[0])) {
      // The run's first datagram goes alone, so the kernel cannot segment: the rest of the run
      // goes again, unsegmented.
      segmenting = false;
      done = 1;
    } else {
      // Any other failure (no address yet, say) costs the first message alone.
      done = runs[0];
    }
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
