// One accepted client: its user record, its connection (owned until retired) and its
// server-side and protocol state. Owned by the VoiceServer's user table. Used with the loop lock
// held, like the rest of the server.
//
// Split by concern: server-side operations in UserSession.cpp, the command dispatch and handlers
// in UserSessionCommands.cpp, the replies and notifications in UserSessionReplies.cpp.
#pragma once

#include <array>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/ErrorNumber.h"
#include "server/AddressBook.h"
#include "server/TokenBucket.h"
#include "server/UserRecord.h"
#include "transport/ClientConnection.h"

namespace quorvane {

class Channel;
class LineParams;
struct ServerLimits;
class VoiceServer;
struct TextMessage;

// A line built once for many recipients, CR LF included, queued to each without a copy.
using SharedLine = std::shared_ptr<const std::string>;

class UserSession : public UserRecord, public ClientConnection::Owner {
 public:
  UserSession(int id, VoiceServer* server, std::unique_ptr<ClientConnection> connection);
  // Detaches the connection and retires it: what is still queued goes out before it closes.
  // Loop lock held.
  ~UserSession() override;

  void setLoggedIn(bool on) { loggedIn_ = on; }
  bool loggedIn() const { return loggedIn_; }
  void setServer(VoiceServer* server) { server_ = server; }
  VoiceServer* server() const { return server_; }
  void setVoiceConfirmed(bool on) { voiceConfirmed_ = on; }
  bool voiceConfirmed() const { return voiceConfirmed_; }
  bool admin() const { return admin_; }
  void setLastPingTime(std::time_t time) { lastPingTime_ = time; }
  std::time_t lastPingTime() const { return lastPingTime_; }
  void setPassword(std::string password) { password_ = std::move(password); }
  const std::string& password() const { return password_; }
  void setProtocolVersion(std::string version) { protocolVersion_ = std::move(version); }
  const std::string& protocolVersion() const { return protocolVersion_; }
  ClientConnection* connection() const { return connection_.get(); }
  // Where the TCP connection comes from, as the server accepted it.
  void setPeer(std::string address, int port) {
    peerAddress_ = std::move(address);
    peerPort_ = port;
  }
  const std::string& peerAddress() const { return peerAddress_; }
  int peerPort() const { return peerPort_; }
  // What the server keeps for the connection's address (shared with its other connections).
  void setAddress(AddressRecord* address) { address_ = address; }
  AddressRecord* address() const { return address_; }
  // The connection's own rate limits: every line, and the lines that reach other users.
  TokenBucket& commandBucket() { return commands_; }
  TokenBucket& messageBucket() { return messages_; }
  // Counts a wrong server password; the count so far.
  unsigned addWrongPassword() { return ++wrongPasswords_; }

  // Detaches the connection, so no more lines or loss notices arrive, and shuts its sending side
  // down once what is queued has gone out. The user stays in the table.
  void closeConnection();
  // The connection failed or the peer closed: closeConnection, then removal by the server.
  void connectionLost() override;
  // The "quit" command: the same as a lost connection.
  void quit();

  // Command dispatch: one received line, terminator included. Zero when it was handled, or how
  // long the rate limits make it wait.
  std::chrono::steady_clock::duration handleLine(std::string_view line) override;
  // The login deadline set on the connection has passed.
  void deadlinePassed() override;
  void sendError(ErrorNumber number);

  // Replies and notifications. Each queues at most one line on the connection; those other than
  // "welcome", "accepted", "error", "pong", "quit", "youare" and "kicked" reach logged-in
  // clients only. A notification sent to many recipients in a row reads the same to each: given
  // the same `shared` line every time, the first recipient builds it and every recipient queues
  // the one line. "adduser" differs in "forward" only: its two forms, indexed by it.
  void sendWelcome(const std::string& serverName, bool allowForwarding, bool allowChannelCreation,
                   bool allowOperators);
  void sendAccepted();
  void sendYouAre();
  void sendPong();
  void sendQuit();
  void sendAddChannel(const Channel* channel, SharedLine* shared = nullptr);
  void sendUpdateChannel(const Channel* channel, SharedLine* shared = nullptr);
  void sendRemoveChannel(const Channel* channel, SharedLine* shared = nullptr);
  void sendJoined(const Channel* channel);
  void sendKicked();
  void sendAddUser(const UserSession* user, std::array<SharedLine, 2>* shared = nullptr);
  void sendUpdateUser(const UserSession* user, SharedLine* shared = nullptr);
  void sendRemoveUser(const UserSession* user, SharedLine* shared = nullptr);
  void sendPwc();
  // The lines of a login's list, sent as the client reads them (ClientConnection::queueList).
  void sendList(std::vector<std::shared_ptr<const std::string>> lines);
  // Lines of that list, CR LF included, shared with the lists of other logins sent meanwhile:
  // "addchannel" for the channel, and "adduser" for `user` as this client is to receive it.
  std::shared_ptr<const std::string> sharedAddChannelLine(const Channel* channel) const;
  std::shared_ptr<const std::string> sharedAddUserLine(const UserSession* user) const;
  void sendMessageDeliver(const TextMessage& message, SharedLine* shared = nullptr);

 private:
  // Command handlers; each takes the line without its terminator.
  void onProtocol(std::string_view line);
  void onConnect(std::string_view line);
  void onQuit(std::string_view line);
  void onChangeNick(std::string_view line);
  void onPing(std::string_view line);
  void onJoin(std::string_view line);
  void onPwc(std::string_view line);
  void onWhoami(std::string_view line);
  void onChangeStatus(std::string_view line);
  void onMessage(std::string_view line);
  void onKick(std::string_view line);
  void onAdmin(std::string_view line);

  // The server's limit on the length of a text that every client receives; 0 for none.
  unsigned textLimit(unsigned ServerLimits::*limit) const;
  // Queues a finished line (CR LF appended here) when there is a connection.
  void send(std::string line);
  // Queues the line in `shared` when an earlier recipient built it; otherwise sends `build()`'s
  // line, keeping it in `shared` for the next (when there is one).
  template <class Build>
  void sendShared(SharedLine* shared, const Build& build);

  bool loggedIn_ = false;
  std::unique_ptr<ClientConnection> connection_;
  std::string protocolVersion_;
  std::string password_;
  VoiceServer* server_;
  bool voiceConfirmed_ = false;
  std::time_t lastPingTime_ = 0;
  bool admin_ = false;
  std::string peerAddress_;
  int peerPort_ = -1;
  AddressRecord* address_ = nullptr;
  TokenBucket commands_;
  TokenBucket messages_;
  unsigned wrongPasswords_ = 0;
};

}  // namespace quorvane
