// What the fuzz targets share: client connections on descriptors made here (socketpairs and
// loopback TCP pairs), loopback UDP endpoints, and a server started on free ports. POSIX only (the
// fuzz build is Linux only).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "server/VoiceServer.h"
#include "transport/ClientConnection.h"

namespace quorvane::fuzz {

// Prints what went wrong and aborts, which libFuzzer reports as a crash with the input.
[[noreturn]] void fail(const std::string& what, std::string_view bytes = {});

// A ClientConnection on a descriptor made elsewhere (the server's end of a socketpair or of a
// loopback TCP pair). The connection owns the descriptor from then on.
class AdoptedConnection : public ClientConnection {
 public:
  AdoptedConnection(ReactorPool& pool, int fd) : ClientConnection(pool) { sock_ = fd; }
};

// Both ends of an AF_UNIX stream socketpair; false when none could be made.
bool makeSocketPair(int& serverEnd, int& peerEnd);
// Both ends of a loopback TCP connection whose peer end is bound to `peerAddress` (an address of
// 127.0.0.0/8), so that the server's end reports it as the client's address; aborts on failure.
void makeTcpPair(const char* peerAddress, int& serverEnd, int& peerEnd);
// Which of `fds` (at most 32; negative ones are skipped) one poll reports readable now (data,
// end of stream or an error): bit i for fds[i].
std::uint32_t readableNow(std::span<const int> fds);
// Appends every byte `fd` holds now to `out` without blocking; true when the stream has ended.
bool readAvailable(int fd, std::string& out);
// Writes `bytes` until the other end is gone or would make the call wait; never raises SIGPIPE.
void writeAll(int fd, std::string_view bytes);

// A non-blocking UDP socket bound to `address` (127.0.0.1 unless given) on an ephemeral port;
// aborts when it cannot be bound.
class LoopbackUdp {
 public:
  explicit LoopbackUdp(const char* address = "127.0.0.1");
  ~LoopbackUdp();
  LoopbackUdp(const LoopbackUdp&) = delete;
  LoopbackUdp& operator=(const LoopbackUdp&) = delete;

  int fd() const { return fd_; }
  int port() const { return port_; }
  bool sendTo(int port, const std::uint8_t* bytes, std::size_t size);
  // One waiting datagram into `out`; false when none is waiting.
  bool receive(std::string& out);
  // Waits up to `ms` milliseconds for a datagram; true when one is waiting.
  bool waitReadable(int ms);

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A server of `pool` configured by `configure` and started on ports that were free a moment ago;
// aborts when none could be started. Stop it, then destroy it with no lock held.
std::unique_ptr<VoiceServer> startOnFreePorts(ReactorPool& pool,
                                              const std::function<void(VoiceServer&)>& configure,
                                              const Channel* staticRoot = nullptr);

}  // namespace quorvane::fuzz
