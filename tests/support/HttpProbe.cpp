#include "support/HttpProbe.h"

#include <cctype>

namespace quorvane::test {

HttpProbe::HttpProbe(int port) {
  connected_ = socket_.create(0, Socket::Stream, "127.0.0.1") &&
               socket_.connect("127.0.0.1", port) && socket_.setNonBlocking(true);
  closed_ = !connected_;  // nothing to wait for
}

bool HttpProbe::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const int sent = socket_.send(bytes.data(), static_cast<int>(bytes.size()));
    if (sent > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    } else if (sent < 0 && sys::isWouldBlock(sys::lastError())) {
      // Room comes as the server reads; a server that stopped reading cuts the send short.
      if (!sys::waitReady(socket_.sock(), true, 1000)) return false;
    } else {
      return false;
    }
  }
  return true;
}

void HttpProbe::readSome(std::chrono::milliseconds timeout) {
  if (closed_ || !waitReadable(socket_.sock(), timeout)) return;
  char buffer[4096];
  const int got = socket_.receive(buffer, sizeof buffer);
  if (got > 0) {
    received_.append(buffer, static_cast<std::size_t>(got));
  } else if (got == 0 || !sys::isWouldBlock(sys::lastError())) {
    closed_ = true;  // closed, or reset
  }
}

std::string HttpProbe::readToClose(std::chrono::milliseconds timeout) {
  waitFor(
      [&] {
        readSome(std::chrono::milliseconds(20));
        return closed_;
      },
      timeout);
  return received_;
}

std::string HttpProbe::readAtLeast(std::size_t count, std::chrono::milliseconds timeout) {
  waitFor(
      [&] {
        readSome(std::chrono::milliseconds(20));
        return closed_ || received_.size() >= count;
      },
      timeout);
  return received_;
}

bool HttpProbe::closedWithin(std::chrono::milliseconds timeout) {
  readToClose(timeout);
  return closed_;
}

std::string httpRequest(int port, std::string_view method, std::string_view path) {
  HttpProbe probe(port);
  probe.send(std::string(method) + " " + std::string(path) +
             " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  return probe.readToClose();
}

int httpStatus(const std::string& answer) {
  if (answer.rfind("HTTP/1.1 ", 0) != 0 || answer.size() < 12) return 0;
  return std::stoi(answer.substr(9, 3));
}

std::string httpBody(const std::string& answer) {
  const std::size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

std::string httpHeader(const std::string& answer, std::string_view name) {
  const std::string head = answer.substr(0, answer.find("\r\n\r\n"));
  std::size_t at = head.find("\r\n");
  while (at != std::string::npos) {
    const std::size_t start = at + 2;
    const std::size_t end = head.find("\r\n", start);
    const std::string line = head.substr(start, end == std::string::npos ? end : end - start);
    const std::size_t colon = line.find(':');
    if (colon == name.size()) {
      bool same = true;
      for (std::size_t i = 0; i < colon; ++i) {
        same = same && std::tolower(static_cast<unsigned char>(line[i])) ==
                           std::tolower(static_cast<unsigned char>(name[i]));
      }
      if (same) return line.substr(line.find_first_not_of(' ', colon + 1));
    }
    at = end;
  }
  return std::string();
}

}  // namespace quorvane::test
