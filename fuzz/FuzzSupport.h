// What the fuzz targets share: in-memory client connections, a way to run work as a handler call
// of the process's event loop, loopback UDP endpoints, and a server started on free ports. POSIX
// only (the fuzz build is Linux only).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "server/VoiceServer.h"
#include "transport/ClientConnection.h"
#include "transport/EventHandler.h"

namespace quorvane::fuzz {

// Prints what went wrong and aborts, which libFuzzer reports as a crash with the input.
[[noreturn]] void fail(const std::string& what, std::string_view bytes = {});

// A ClientConnection on a descriptor made elsewhere (the server's end of a socketpair). The
// connection owns the descriptor from then on.
class AdoptedConnection : public ClientConnection {
 public:
  explicit AdoptedConnection(int fd) { sock_ = fd; }
};

// Both ends of an AF_UNIX stream socketpair; false when none could be made.
bool makeSocketPair(int& serverEnd, int& peerEnd);
// True when a poll of `fd` would report it readable now (data, end of stream or an error).
bool readableNow(int fd);
// Appends every byte `fd` holds now to `out` without blocking; true when the stream has ended.
bool readAvailable(int fd, std::string& out);
// Writes `bytes` until the other end is gone or would make the call wait; never raises SIGPIPE.
void writeAll(int fd, std::string_view bytes);

// Runs work inside one handler call of the process-wide event loop, as the loop runs a client's
// input: on its thread, with the pool lock held, and with sessions that the work ends released
// only when the call returns. Used from one thread at a time.
class LoopCall : public EventHandler {
 public:
  LoopCall();
  ~LoopCall() override;

  // Returns once the call, and the releases it deferred, are over.
  void run(std::function<void()> work);

  SocketHandle handle() const override { return readable_; }
  bool handleInput() override;

 private:
  // One end of a socketpair whose other end wrote a byte that is never read: always readable.
  int readable_ = -1;
  int writer_ = -1;
  std::function<void()> work_;
  std::mutex mutex_;
  std::condition_variable doneChanged_;
  bool done_ = false;
};

// A non-blocking UDP socket bound to 127.0.0.1 on an ephemeral port.
class LoopbackUdp {
 public:
  LoopbackUdp();
  ~LoopbackUdp();
  LoopbackUdp(const LoopbackUdp&) = delete;
  LoopbackUdp& operator=(const LoopbackUdp&) = delete;

  int fd() const { return fd_; }
  int port() const { return port_; }
  bool sendTo(int port, const std::uint8_t* bytes, std::size_t size);
  // One waiting datagram into `out`; false when none is waiting.
  bool receive(std::string& out);

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A server configured by `configure` and started on ports that were free a moment ago; aborts
// when none could be started. Stop it, then destroy it with no lock held.
std::unique_ptr<VoiceServer> startOnFreePorts(const std::function<void(VoiceServer&)>& configure,
                                              const Channel* staticRoot = nullptr);

}  // namespace quorvane::fuzz
