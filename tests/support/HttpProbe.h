// A raw HTTP client for tests: one loopback connection that sends bytes as given and reads what
// the server answers, every wait bounded. Sees exactly what went over the wire (HEAD without a
// body, a connection cut short), which a library client would hide.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "support/WaitFor.h"
#include "transport/Socket.h"

namespace quorvane::test {

class HttpProbe {
 public:
  explicit HttpProbe(int port);

  bool connected() const { return connected_; }
  // Sends the bytes; false when the server no longer takes them.
  bool send(std::string_view bytes);
  // Reads until the server closes the connection or `timeout` passes; everything received.
  std::string readToClose(std::chrono::milliseconds timeout = kPatience) {
    return readAtLeast(std::string::npos, timeout);
  }
  // Reads until `count` bytes or more arrived, the server closed, or `timeout` passed.
  std::string readAtLeast(std::size_t count, std::chrono::milliseconds timeout = kPatience);
  // True once the server has closed the connection (read up to then and dropped).
  bool closedWithin(std::chrono::milliseconds timeout);

 private:
  // One wait for input and what it brings.
  void readSome(std::chrono::milliseconds timeout);

  Socket socket_;
  bool connected_ = false;
  bool closed_ = false;
  std::string received_;
};

// "GET path" (or another method) with Connection: close, and the whole answer.
std::string httpRequest(int port, std::string_view method, std::string_view path);
// The status code of an answer, 0 when there is none.
int httpStatus(const std::string& answer);
// The body of an answer (after the blank line), empty when there is none.
std::string httpBody(const std::string& answer);
// The value of a header of an answer, empty when it is absent.
std::string httpHeader(const std::string& answer, std::string_view name);

}  // namespace quorvane::test
