// What the fuzz targets share: client connections on descriptors made here (loopback TCP pairs)
// or in memory, loopback UDP endpoints, and a server started on free ports. POSIX only (the fuzz
// build is Linux only).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "server/VoiceServer.h"
#include "transport/ClientConnection.h"

namespace quorvane::fuzz {

// Prints what went wrong and aborts, which libFuzzer reports as a crash with the input.
[[noreturn]] void fail(const std::string& what, std::string_view bytes = {});

// A ClientConnection on a descriptor made elsewhere (the server's end of a loopback TCP pair).
// The connection owns the descriptor from then on.
class AdoptedConnection : public ClientConnection {
 public:
  AdoptedConnection(ReactorPool& pool, int fd) : ClientConnection(pool) { sock_ = fd; }
};

// One stream connection held in memory, as a socketpair behaves: the bytes each way not yet read,
// and which ends are shut or closed. Shared by the client (the fuzz target) and the server's
// MemoryConnection; one thread uses it.
class MemoryPipe {
 public:
  // The client's end: its bytes are dropped once it shut its sending side or the server closed;
  // once it closed, the server's sends fail.
  void clientWrite(std::string_view bytes);
  void clientShutdown() { clientShut_ = true; }
  void clientClose() { clientShut_ = clientClosed_ = true; }
  // Appends what the server sent to `out`; true when the stream has ended (the server shut its
  // sending side or closed).
  bool clientRead(std::string& out);

  // The server's end, for MemoryConnection.
  bool serverReadable() const { return !toServer_.empty() || clientShut_ || serverReadShut_; }
  // As recv: a byte count, 0 at the end of the stream (or for no room), -1 with errno EAGAIN when
  // nothing waits.
  int serverReceive(void* buffer, int length);
  // As a gathered send: every byte taken, or -1 with errno EPIPE once the sending side is shut.
  long serverSend(const sys::SendSlice* slices, int count);
  // As shutdown: 0 the receiving side, 1 the sending side, 2 both.
  void serverShutdown(int how);
  void serverClose() { serverClosed_ = true; }

 private:
  std::string toServer_;
  std::size_t toServerRead_ = 0;
  std::string toClient_;
  bool clientShut_ = false;
  bool clientClosed_ = false;
  bool serverReadShut_ = false;
  bool serverWriteShut_ = false;
  bool serverClosed_ = false;
};

// A ClientConnection whose bytes go through a MemoryPipe, so that a fuzz input costs no socket
// calls. It holds a descriptor of /dev/null only so that a loop tells it apart from the others.
class MemoryConnection : public ClientConnection {
 public:
  MemoryConnection(ReactorPool& pool, std::shared_ptr<MemoryPipe> pipe);
  ~MemoryConnection() override { pipe_->serverClose(); }

  bool close() override;
  bool shutdown(int how) override;
  bool setNonBlocking(bool) override { return true; }
  int receive(void* buffer, int length) override;
  long sendGathered(const sys::SendSlice* slices, int count) override;

 private:
  std::shared_ptr<MemoryPipe> pipe_;
};

// Both ends of a loopback TCP connection whose peer end is bound to `peerAddress` (an address of
// 127.0.0.0/8), so that the server's end reports it as the client's address; aborts on failure.
void makeTcpPair(const char* peerAddress, int& serverEnd, int& peerEnd);

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
