#include "client/ProtocolClient.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "client/VoiceDatagrams.h"
#include "transport/SocketApi.h"

namespace quorvane {

namespace {

constexpr std::size_t kReadChunk = 65536;
// Datagrams are read into a buffer larger than any valid one, so a long one shows its length.
constexpr std::size_t kDatagramBuffer = 2048;
// A paced client saves up at most this much of its pace while it is not served.
constexpr double kMostSavedSeconds = 0.2;

std::string errorText(const char* what, int error) {
#ifdef _WIN32
  return std::string(what) + ": error " + std::to_string(error);
#else
  return std::string(what) + ": " + std::strerror(error);
#endif
}

bool interrupted(int error) {
#ifdef _WIN32
  return error == WSAEINTR;
#else
  return error == EINTR;
#endif
}

// A non-blocking connect that has started and not yet finished.
bool connectInProgress(int error) {
#ifdef _WIN32
  return sys::isWouldBlock(error);
#else
  return error == EINPROGRESS;
#endif
}

// An IPv4 address for `host` (a dotted quad or a name), or false.
bool resolve(const std::string& host, int port, sockaddr_in& out) {
  out = sys::resolveAddress(host, port);
  return out.sin_family == AF_INET && out.sin_addr.s_addr != INADDR_NONE;
}

SocketHandle nonBlockingSocket(int type) {
#ifdef _WIN32
  SocketHandle s = static_cast<SocketHandle>(::socket(AF_INET, type, 0));
  if (s != kNoSocket && !sys::setNonBlockingMode(s, true)) {
    sys::closeSocket(s);
    return kNoSocket;
  }
  return s;
#else
  // Not inherited by programs the tools start (the server under test).
  return ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
#endif
}

bool setOption(SocketHandle s, int level, int name, int value) {
  return ::setsockopt(sys::native(s), level, name, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0;
}

}  // namespace

ProtocolClient::~ProtocolClient() { closeSockets(false); }

bool ProtocolClient::open(const Options& options) {
  closeSockets(false);
  options_ = options;
  if (options_.connectionAddress.empty()) {
    options_.connectionAddress = options_.voiceAddress;
  } else if (options_.voiceAddress.empty()) {
    options_.voiceAddress = options_.connectionAddress;
  }
  userId_ = 0;
  loginError_ = 0;
  lastError_.clear();
  rx_.clear();
  tx_.clear();
  txSent_ = 0;
  lineInbox_.clear();
  datagramInbox_.clear();
  voiceAddress_.clear();
  voicePort_ = 0;
  readBudget_ = 0;
  budgetAt_ = Clock::now();
  if ((options_.ownVoiceSocket && !openVoiceSocket()) || !startConnect()) {
    closeSockets(false);
    return false;
  }
  return true;
}

bool ProtocolClient::openVoiceSocket() {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  if (!options_.voiceAddress.empty() &&
      !sys::parseDottedQuad(options_.voiceAddress, local.sin_addr)) {
    lastError_ = "not an IPv4 address: " + options_.voiceAddress;
    return false;
  }
  sockaddr_in server{};
  if (!resolve(options_.host, options_.soundPort, server)) {
    lastError_ = "cannot resolve " + options_.host;
    return false;
  }
  udp_ = nonBlockingSocket(SOCK_DGRAM);
  sys::socklen_type length = sizeof local;
  // Connected, so only the server's datagrams arrive and send() needs no address.
  if (udp_ == kNoSocket ||
      ::bind(sys::native(udp_), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(sys::native(udp_), reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 ||
      ::getsockname(sys::native(udp_), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    lastError_ = errorText("voice socket", sys::lastError());
    return false;
  }
  voiceAddress_ = sys::dottedQuad(local.sin_addr);
  voicePort_ = ntohs(local.sin_port);
  return true;
}

bool ProtocolClient::startConnect() {
  sockaddr_in server{};
  if (!resolve(options_.host, options_.hostPort, server)) {
    lastError_ = "cannot resolve " + options_.host;
    return false;
  }
  tcp_ = nonBlockingSocket(SOCK_STREAM);
  if (tcp_ == kNoSocket) {
    lastError_ = errorText("socket", sys::lastError());
    return false;
  }
  // Lines go out at once rather than waiting for the peer's delayed acknowledgement.
  sys::setNoDelay(tcp_);
  if (options_.sendBufferBytes > 0) {
    setOption(tcp_, SOL_SOCKET, SO_SNDBUF, options_.sendBufferBytes);
  }
  if (!options_.connectionAddress.empty() && !bindConnection()) return false;
  ++generation_;
  if (::connect(sys::native(tcp_), reinterpret_cast<sockaddr*>(&server), sizeof server) == 0) {
    state_ = State::Connected;
    return true;
  }
  const int error = sys::lastError();
  if (!connectInProgress(error)) {
    lastError_ = errorText("connect", error);
    return false;
  }
  state_ = State::Connecting;
  return true;
}

bool ProtocolClient::bindConnection() {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  if (!sys::parseDottedQuad(options_.connectionAddress, local.sin_addr)) {
    lastError_ = "not an IPv4 address: " + options_.connectionAddress;
    return false;
  }
#ifdef IP_BIND_ADDRESS_NO_PORT
  // The port is chosen by connect, which may share it with connections to other peers.
  setOption(tcp_, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1);
#endif
  if (::bind(sys::native(tcp_), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    lastError_ = errorText("bind", sys::lastError());
    return false;
  }
  return true;
}

void ProtocolClient::finishConnect() {
  int error = 0;
  sys::socklen_type length = sizeof error;
  if (::getsockopt(sys::native(tcp_), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                   &length) != 0) {
    error = sys::lastError();
  }
  if (error != 0) {
    lost(errorText("connect", error));
    return;
  }
  state_ = State::Connected;
}

void ProtocolClient::closeSockets(bool reset) {
  if (tcp_ != kNoSocket) {
    if (reset) {
      linger abortive{};
      abortive.l_onoff = 1;
      abortive.l_linger = 0;
      ::setsockopt(sys::native(tcp_), SOL_SOCKET, SO_LINGER,
                   reinterpret_cast<const char*>(&abortive), sizeof abortive);
    }
    sys::closeSocket(tcp_);
  }
  if (udp_ != kNoSocket) sys::closeSocket(udp_);
  tcp_ = kNoSocket;
  udp_ = kNoSocket;
  state_ = State::Closed;
  ++generation_;
}

void ProtocolClient::close(bool reset) { closeSockets(reset); }

void ProtocolClient::quit() {
  if (state_ == State::Closed) return;
  const std::uint64_t generation = generation_;
  sendLine(kQuitLine);
  // The send may have found the connection lost, and the handler may have opened a new one.
  if (generation_ != generation) return;
  // Closing with unread input would reset the connection; what is left is of no interest now.
  char chunk[kReadChunk];
  while (tcp_ != kNoSocket && ::recv(sys::native(tcp_), chunk, sizeof chunk, 0) > 0) {
  }
  closeSockets(false);
}

void ProtocolClient::lost(const std::string& reason) {
  lastError_ = reason;
  closeSockets(false);
  if (handler_ != nullptr) handler_->onClosed(*this, reason);
}

bool ProtocolClient::sendBytes(std::string_view bytes) {
  if (state_ == State::Closed) return false;
  tx_.append(bytes);
  if (state_ != State::Connecting) flush();
  return true;
}

bool ProtocolClient::sendLine(std::string_view line) {
  if (state_ == State::Closed) return false;
  tx_.append(line);
  tx_ += "\r\n";
  ++linesSent_;
  if (state_ != State::Connecting) flush();
  return true;
}

bool ProtocolClient::sendLines(std::span<const std::string> lines) {
  if (state_ == State::Closed) return false;
  for (const std::string& line : lines) {
    tx_.append(line);
    tx_ += "\r\n";
  }
  linesSent_ += lines.size();
  if (state_ != State::Connecting) flush();
  return true;
}

bool ProtocolClient::sendDatagram(std::span<const std::uint8_t> bytes) {
  if (udp_ == kNoSocket) return false;
  const int length = static_cast<int>(bytes.size());
  if (::send(sys::native(udp_), reinterpret_cast<const char*>(bytes.data()), length, 0) !=
      length) {
    return false;
  }
  ++datagramsSent_;
  return true;
}

void ProtocolClient::flush() {
  while (txSent_ < tx_.size()) {
    const long n = ::send(sys::native(tcp_), tx_.data() + txSent_,
                          static_cast<int>(tx_.size() - txSent_), sys::sendFlags());
    if (n < 0) {
      const int error = sys::lastError();
      if (sys::isWouldBlock(error)) break;
      if (interrupted(error)) continue;
      lost(errorText("send", error));
      return;
    }
    txSent_ += static_cast<std::size_t>(n);
  }
  if (txSent_ == tx_.size()) {
    tx_.clear();
    txSent_ = 0;
  } else if (txSent_ > tx_.size() / 2) {
    tx_.erase(0, txSent_);
    txSent_ = 0;
  }
}

void ProtocolClient::onTcpReady(bool readable, bool writable) {
  if (tcp_ == kNoSocket) return;
  const std::uint64_t generation = generation_;
  if (state_ == State::Connecting) {
    if (!readable && !writable) return;
    finishConnect();
    if (generation_ != generation) return;
  }
  if (writable && pendingOutput() != 0) {
    flush();
    if (generation_ != generation) return;
  }
  if (readable) readStream();
}

std::size_t ProtocolClient::readAllowance(Clock::time_point now) {
  const double pace = options_.readBytesPerSecond;
  if (pace <= 0) return kReadChunk;
  const double elapsed = std::chrono::duration<double>(now - budgetAt_).count();
  readBudget_ = std::min(readBudget_ + pace * elapsed, std::max(1.0, pace * kMostSavedSeconds));
  budgetAt_ = now;
  return std::min(kReadChunk, static_cast<std::size_t>(readBudget_));
}

void ProtocolClient::readStream() {
  char chunk[kReadChunk];
  for (;;) {
    const std::size_t allowed = readAllowance(Clock::now());
    // A paced client that has used up its budget leaves the rest for a later tick.
    if (allowed == 0) return;
    const long n = ::recv(sys::native(tcp_), chunk, static_cast<int>(allowed), 0);
    if (n > 0) {
      if (options_.readBytesPerSecond > 0) readBudget_ -= static_cast<double>(n);
      rx_.append(chunk, static_cast<std::size_t>(n));
      if (!deliverLines()) return;
      continue;
    }
    const int error = n == 0 ? 0 : sys::lastError();
    if (n == 0) {
      lost("closed by the server");
    } else if (interrupted(error)) {
      continue;
    } else if (!sys::isWouldBlock(error)) {
      lost(errorText("recv", error));
    }
    return;
  }
}

bool ProtocolClient::deliverLines() {
  const std::uint64_t generation = generation_;
  std::size_t start = 0;
  for (std::size_t end = rx_.find('\n'); end != std::string::npos; end = rx_.find('\n', start)) {
    std::string text = rx_.substr(start, end - start);
    start = end + 1;
    const bool crlf = !text.empty() && text.back() == '\r';
    if (crlf) text.pop_back();
    if (!crlf) ++badLineEnds_;
    if (!crlf && handler_ != nullptr) {
      handler_->onBadLineEnd(*this, text);
      if (generation_ != generation) return false;
    }
    deliverLine(std::move(text));
    if (generation_ != generation) return false;
  }
  rx_.erase(0, start);
  return true;
}

void ProtocolClient::deliverLine(std::string text) {
  ServerLine line(std::move(text));
  bool justLoggedIn = false;
  if (line.is("welcome") && state_ == State::Connected) {
    userId_ = line.intParam("id", 0);
    if (options_.autoLogin) {
      sendLine(protocolLine(options_.version));
      state_ = State::AwaitingHelloReply;
      sendHello();
    }
  } else if (state_ == State::AwaitingAccepted && line.is("accepted")) {
    state_ = State::LoggedIn;
    justLoggedIn = true;
  } else if (state_ == State::AwaitingAccepted && line.is("error")) {
    // The server answered "connect" with an error: the caller decides what comes next.
    loginError_ = line.intParam("number", 0);
    state_ = State::Connected;
  }
  if (handler_ == nullptr) {
    lineInbox_.push_back(std::move(line));
    return;
  }
  const std::uint64_t generation = generation_;
  handler_->onLine(*this, line);
  if (justLoggedIn && generation_ == generation) handler_->onLoggedIn(*this);
}

void ProtocolClient::onUdpReadable() {
  const std::uint64_t generation = generation_;
  std::uint8_t buffer[kDatagramBuffer];
  while (udp_ != kNoSocket && generation_ == generation) {
    const long n = ::recv(sys::native(udp_), reinterpret_cast<char*>(buffer), sizeof buffer, 0);
    if (n < 0) {
      // Would block, or an ICMP error from an earlier send: nothing to read now.
      if (sys::isWouldBlock(sys::lastError())) return;
      continue;
    }
    deliverDatagram(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)));
  }
}

void ProtocolClient::deliverDatagram(std::span<const std::uint8_t> bytes) {
  if (state_ == State::AwaitingHelloReply && isHelloReply(bytes, userId_)) {
    state_ = State::AwaitingAccepted;
    sendLine(connectLine(options_.login));
  }
  if (handler_ == nullptr) {
    datagramInbox_.emplace_back(bytes.begin(), bytes.end());
  } else {
    handler_->onDatagram(*this, bytes);
  }
}

int ProtocolClient::connectionPort() const {
  sockaddr_in local{};
  sys::socklen_type length = sizeof local;
  if (tcp_ == kNoSocket ||
      ::getsockname(sys::native(tcp_), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return 0;
  }
  return ntohs(local.sin_port);
}

void ProtocolClient::sendHello() {
  sendDatagram(helloDatagram(userId_));
  helloDue_ = Clock::now() + options_.helloInterval;
}

void ProtocolClient::tick(Clock::time_point now) {
  if (state_ == State::AwaitingHelloReply && now >= helloDue_) sendHello();
  // Edge-triggered readiness does not come again for bytes already waiting: a paced client
  // reads them here.
  if (options_.readBytesPerSecond > 0 && tcp_ != kNoSocket && state_ != State::Connecting) {
    readStream();
  }
}

}  // namespace quorvane
