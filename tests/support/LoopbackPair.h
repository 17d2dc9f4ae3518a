// A connected pair of loopback TCP sockets for tests, built from raw socket calls so that the
// classes under test are not needed to make it. Closes both ends on destruction.
#pragma once

#include <string>

#include "transport/SocketApi.h"

namespace quorvane::test {

class LoopbackPair {
 public:
  LoopbackPair();
  ~LoopbackPair();
  LoopbackPair(const LoopbackPair&) = delete;
  LoopbackPair& operator=(const LoopbackPair&) = delete;

  bool valid() const { return a_ != kNoSocket && b_ != kNoSocket; }
  SocketHandle a() const { return a_; }
  SocketHandle b() const { return b_; }
  // Hands end a (or b) over to a caller that closes it; the pair forgets it.
  SocketHandle releaseA();
  // Writes all of `bytes` to the given end (blocking).
  static bool writeAll(SocketHandle end, const std::string& bytes);

 private:
  SocketHandle a_ = kNoSocket;
  SocketHandle b_ = kNoSocket;
};

}  // namespace quorvane::test
