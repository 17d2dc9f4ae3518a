// One client of the server: a non-blocking TCP connection with its receive and send buffers, a
// UDP voice socket, and the login handshake (welcome -> protocol -> hello, resent until the
// server answers -> connect -> accepted). Not thread-safe: drive it from one thread, through a
// ClientLoop (many clients per thread, Linux) or with its own bounded blocking waits (every
// platform).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/ClientCommands.h"
#include "client/ServerLine.h"
#include "transport/SocketApi.h"

namespace quorvane {

class ProtocolClient {
 public:
  using Clock = std::chrono::steady_clock;

  enum class State {
    Closed,
    Connecting,          // TCP connect in progress
    Connected,           // waiting for "welcome" (or, without autoLogin, simply connected)
    AwaitingHelloReply,  // "protocol" sent, hello datagram sent and repeated
    AwaitingAccepted,    // "connect" sent
    LoggedIn,
  };

  struct Options {
    std::string host = "127.0.0.1";
    int hostPort = 10300;
    int soundPort = 10301;
    // The local address of the voice socket (the server sees it as the client's voice address);
    // empty binds to any address.
    std::string voiceAddress;
    // The local address of the TCP connection; empty lets the kernel choose. Thousands of
    // clients spread over several loopback addresses keep the kernel's search for a free local
    // port short.
    // The server honours a hello only from the address of the user's own connection, so a client
    // comes from one host: when only one of the two addresses is given, both sockets are bound
    // to it.
    std::string connectionAddress;
    // Run the handshake on "welcome"; without it the caller speaks for itself.
    bool autoLogin = true;
    // Open a voice socket of the client's own. Without one (many clients sharing one voice
    // endpoint) the caller sends the hello for the client and reads the reply, so autoLogin must
    // be off; sendDatagram then fails.
    bool ownVoiceSocket = true;
    std::string version = "2.1";
    LoginDetails login;
    std::chrono::milliseconds helloInterval{250};
    // Read at most this many bytes a second, as a client on a slow link does (the rest waits in
    // the kernel and then in the server); 0 reads whatever arrives. A paced client reads on the
    // ticks of a ClientLoop (not in the blocking waits).
    double readBytesPerSecond = 0;
    // The kernel's send buffer of the connection in bytes; 0 leaves it to the kernel, which lets
    // it grow to megabytes while the server does not read.
    int sendBufferBytes = 0;
  };

  // Receives what arrives, on the driving thread. It may send, close or reopen the client from
  // any of these calls.
  class Handler {
   public:
    virtual void onLine(ProtocolClient& client, const ServerLine& line) = 0;
    virtual void onDatagram(ProtocolClient& client, std::span<const std::uint8_t> bytes) = 0;
    // "accepted" has been handed to onLine and the client is logged in.
    virtual void onLoggedIn(ProtocolClient& client) = 0;
    // The server closed the connection or it failed; not called after close() or quit().
    virtual void onClosed(ProtocolClient& client, const std::string& reason) = 0;
    // A received line that did not end in CR LF (it still goes to onLine).
    virtual void onBadLineEnd(ProtocolClient& client, std::string_view text) = 0;

   protected:
    ~Handler() = default;
  };

  ProtocolClient() = default;
  ~ProtocolClient();
  ProtocolClient(const ProtocolClient&) = delete;
  ProtocolClient& operator=(const ProtocolClient&) = delete;

  // Without a handler, lines and datagrams collect in inboxes for nextLine / nextDatagram.
  void setHandler(Handler* handler) { handler_ = handler; }

  // Closes any earlier connection, opens both sockets and starts connecting. False (with
  // lastError) when a socket could not be made.
  bool open(const Options& options);
  // Closes both sockets at once, without "quit"; with `reset` the server sees a reset rather
  // than an orderly end. Unsent output is dropped.
  void close(bool reset = false);
  // Sends "quit", hands the output to the kernel as far as it takes it, and closes.
  void quit();

  // Queues the line and CR LF and sends what the socket takes now. False when closed.
  bool sendLine(std::string_view line);
  // Queues the bytes as they are (no line end added) and sends what the socket takes now.
  bool sendBytes(std::string_view bytes);
  // The same for several lines at once, in one send.
  bool sendLines(std::span<const std::string> lines);
  // Sends one datagram to the sound port. False when closed or the send failed.
  bool sendDatagram(std::span<const std::uint8_t> bytes);

  State state() const { return state_; }
  bool loggedIn() const { return state_ == State::LoggedIn; }
  // The id given by "welcome"; 0 before.
  int userId() const { return userId_; }
  // The error number that answered "connect"; 0 when none.
  int loginError() const { return loginError_; }
  // The options of the last open, each address filled in from the other when it was missing.
  const Options& options() const { return options_; }
  // The local address and port of the voice socket.
  const std::string& voiceAddress() const { return voiceAddress_; }
  int voicePort() const { return voicePort_; }
  // The local port of the TCP connection; 0 while closed.
  int connectionPort() const;
  const std::string& lastError() const { return lastError_; }
  std::size_t pendingOutput() const { return tx_.size() - txSent_; }
  // Totals over every connection this object has made.
  std::uint64_t linesSent() const { return linesSent_; }
  std::uint64_t datagramsSent() const { return datagramsSent_; }
  // Received lines that did not end in CR LF.
  std::uint64_t badLineEnds() const { return badLineEnds_; }

  // Event entry points for a loop. The descriptors are -1 while closed.
  auto tcpSocket() const { return sys::native(tcp_); }
  auto udpSocket() const { return sys::native(udp_); }
  void onTcpReady(bool readable, bool writable);
  void onUdpReadable();
  // Repeats the hello when it is due; a paced client reads what its pace allows.
  void tick(Clock::time_point now);

  // Blocking use: serves both sockets until `done` holds or the time-out passes; returns `done`.
  bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  // open, then waits for the login; true when logged in.
  bool login(const Options& options, std::chrono::milliseconds timeout);
  // The next line or datagram from the inboxes (no handler set), waiting up to `timeout`.
  std::optional<ServerLine> nextLine(std::chrono::milliseconds timeout);
  std::optional<std::vector<std::uint8_t>> nextDatagram(std::chrono::milliseconds timeout);

 private:
  bool openVoiceSocket();
  bool startConnect();
  // Binds the TCP socket to options_.connectionAddress, leaving the port to connect.
  bool bindConnection();
  void finishConnect();
  void closeSockets(bool reset);
  void lost(const std::string& reason);
  void flush();
  void readStream();
  // The bytes a paced client may read now (everything when unpaced).
  std::size_t readAllowance(Clock::time_point now);
  // Hands every complete line in the receive buffer on; false when the handler closed or
  // reopened the client meanwhile.
  bool deliverLines();
  void deliverLine(std::string text);
  void deliverDatagram(std::span<const std::uint8_t> bytes);
  void sendHello();

  Options options_;
  Handler* handler_ = nullptr;
  State state_ = State::Closed;
  SocketHandle tcp_ = kNoSocket;
  SocketHandle udp_ = kNoSocket;
  // Changes with every open and close, so a loop over received data notices either.
  std::uint64_t generation_ = 0;
  int userId_ = 0;
  int loginError_ = 0;
  std::string voiceAddress_;
  int voicePort_ = 0;
  std::string lastError_;
  std::string rx_;
  std::string tx_;
  std::size_t txSent_ = 0;
  Clock::time_point helloDue_{};
  // Paced reading: bytes that may be read, as of budgetAt_.
  double readBudget_ = 0;
  Clock::time_point budgetAt_{};
  std::uint64_t linesSent_ = 0;
  std::uint64_t datagramsSent_ = 0;
  std::uint64_t badLineEnds_ = 0;
  std::deque<ServerLine> lineInbox_;
  std::deque<std::vector<std::uint8_t>> datagramInbox_;
};

}  // namespace quorvane
