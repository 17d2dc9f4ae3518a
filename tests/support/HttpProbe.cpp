#include "support/HttpProbe.h"

#include <algorithm>
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
  readAtLeast(std::string::npos, timeout);
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
  // Header names are matched without regard to case.
  const std::size_t end = answer.find("\r\n\r\n");
  std::string head = answer.substr(0, end == std::string::npos ? end : end + 2);
  std::string wanted = "\r\n" + std::string(name) + ":";
  for (std::string* text : {&head, &wanted}) {
    for (char& c : *text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  const std::size_t at = head.find(wanted);
  if (at == std::string::npos) return std::string();
  const std::size_t start =
      std::min(answer.find_first_not_of(' ', at + wanted.size()), answer.size());
  return answer.substr(start, answer.find("\r\n", start) - start);
}

}  // namespace quorvane::test
