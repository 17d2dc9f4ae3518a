// One HTTP connection's socket as the HTTP library reads and writes it, within the connection's
// budget: each wait for the socket lasts at most the I/O time-out, nothing waits past the
// connection's deadline, and at most `maxBytes` are read in all. Does not own the socket. Used
// by the one thread that serves the connection.
#pragma once

#include <httplib.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>

#include "transport/SocketApi.h"

namespace quorvane {

class HttpStream : public httplib::Stream {
 public:
  using Clock = std::chrono::steady_clock;

  struct Budget {
    std::chrono::milliseconds ioTimeout;
    Clock::time_point deadline;
    std::size_t maxBytes;
    // Set when the server stops: every wait ends within kStopCheck.
    const std::atomic<bool>* stopping = nullptr;
  };
  // Waits are cut into slices this long to notice a stop (a socket shut down by another thread
  // does not end a wait on every platform).
  static constexpr std::chrono::milliseconds kStopCheck{100};

  HttpStream(SocketHandle sock, const Budget& budget) : sock_(sock), budget_(budget) {}

  // Something to read: received already, or arriving within the time allowed.
  bool is_readable() const override;
  bool is_writable() const override { return waitReady(true); }
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override { return static_cast<socket_t>(sock_); }

  // The deadline has passed or every byte allowed has been read.
  bool spent() const;

 private:
  bool waitReady(bool forWrite) const;

  SocketHandle sock_;
  Budget budget_;
  std::size_t received_ = 0;
  // Bytes received and not yet taken: the library reads a request line a byte at a time.
  std::array<char, 4096> buffer_{};
  std::size_t bufferStart_ = 0;
  std::size_t bufferEnd_ = 0;
};

}  // namespace quorvane
