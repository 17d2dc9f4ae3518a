// The server core: the listening and voice sockets, the user table, the channel tree, the limits
// and the timer of inactivity handling. Owns its sockets, its timers, the channel tree and every
// UserSession.
//
// Threads: every operation on users, channels and limits runs with the loop lock held (see
// ReactorPool): the event loops call in with it held (accepted connections, lines, losses,
// deadlines), and the timer thread, the thread that stops the server and tests take it through a
// Guard. Operations assert that it is held and never take it themselves, except the entry points
// named below. Voice is forwarded on the voice thread (VoiceRelay) without the lock, and by a
// loop that helps once a pass (the pool's pass task); the VoiceDirectory tells them what they
// need, and control work keeps the directory up to date.
//
// Split by concern: lifecycle in VoiceServer.cpp, users in VoiceServerUsers.cpp, channels in
// VoiceServerChannels.cpp, voice in VoiceServerVoice.cpp, timer work in VoiceServerTimer.cpp,
// the defences in VoiceServerLimits.cpp.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "server/AddressBook.h"
#include "server/Channel.h"
#include "server/LogSink.h"
#include "server/ServerMetrics.h"
#include "server/StatusSnapshot.h"
#include "server/ServerLimits.h"
#include "server/VoiceDirectory.h"
#include "server/VoiceRelay.h"
#include "transport/DatagramSocket.h"
#include "transport/ListenSocket.h"
#include "transport/ReactorPool.h"
#include "transport/TimerListener.h"
#include "transport/TimerService.h"

namespace quorvane {

class ClientConnection;
class UserSession;
struct TextMessage;

class VoiceServer : public TimerListener, public ListenSocket::Owner {
 public:
  static constexpr int kTimerId = 1;
  static constexpr int kTimerPeriodMs = 30000;
  static constexpr std::time_t kInactivityLimitSeconds = 180;
  static constexpr int kMaxUserId = 32766;
  // The one address whose users are trusted as the server's own (operators, no passwords).
  static constexpr const char* kLocalAddress = "127.0.0.1";

  // Holds the loop lock, for threads other than the event loops.
  class Guard : public ReactorPool::Section {
   public:
    explicit Guard(VoiceServer& server) : ReactorPool::Section(server.pool_) {}
  };

  // Copies the tree below `staticRoot` (which stays the caller's) and marks its channels static.
  // The pool serves the server's sockets; it must outlive the server.
  explicit VoiceServer(ReactorPool& pool, const Channel* staticRoot = nullptr);
  VoiceServer(const VoiceServer&) = delete;
  VoiceServer& operator=(const VoiceServer&) = delete;
  // Call stop first; destroy without the lock.
  ~VoiceServer() override;

  // Settings, before start.
  void setLogging(bool on) { logging_ = on; }
  // Where log entries go when logging is on; the sink must outlive the server.
  void setLogSink(LogSink* sink) { log_ = sink; }
  void setAllowChannelCreation(bool on) { allowChannelCreation_ = on; }
  void setAllowOperators(bool on) { allowOperators_ = on; }
  void setAllowForwarding(bool on) { allowForwarding_ = on; }
  // On (the default): a voice hello counts only from the address of the named user's own TCP
  // connection, and voice is forwarded only from a logged-in user's confirmed endpoint to a
  // member of the same channel.
  void setVoiceAddressCheck(bool on) { voiceAddressCheck_ = on; }
  void setServerName(std::string name) { serverName_ = std::move(name); }
  void setServerPassword(std::string password) { serverPassword_ = std::move(password); }
  void setAdminAccount(std::string username, std::string password);
  void setLimits(ServerLimits limits) { limits_ = std::move(limits); }
  const ServerLimits& limits() const { return limits_; }
  // The current time in seconds (the clock of setClock).
  std::time_t now() const { return clock_(); }

  // Test hooks; the program never calls them. Before start: unsent output per client beyond
  // which it counts as lost (the program keeps ClientConnection::kOutputLimit), the clock, the
  // period of timer 1 (the program always uses kTimerPeriodMs). Lock held: the channel tree.
  void setOutputLimit(std::size_t bytes) { outputLimit_ = bytes; }
  void setClock(std::function<std::time_t()> clock) { clock_ = std::move(clock); }
  void setTimerPeriod(int ms) { timerPeriodMs_ = ms; }
  Channel& rootChannel() { return rootChannel_; }
  // Test hooks for a server whose threads the caller plays: startDriven counts as a start but
  // opens only the voice socket (not blocking, on an ephemeral port of 127.0.0.1) and starts no
  // thread and no timer; the caller hands in connections, calls onTimer, and has the voice
  // thread's work done for what waits on the voice socket (relayWaitingVoice) on its own thread.
  bool startDriven();
  void relayWaitingVoice() { relay_.relayWaiting(); }

  // Entry points that take the lock themselves. start opens both sockets, starts the voice
  // thread and timer 1 and counts as running (also when a socket failed); true only when both
  // sockets opened and the listener listens.
  bool start(int hostPort, int soundPort);
  // Says "quit" to every client, removes every user, closes the sockets, clears the tree.
  void stop();
  // Timer 1, on the timer's thread: the inactivity pass, keep-alives, housekeeping.
  void onTimer(int id) override;

  bool running() const { return running_; }
  // What the server counts, read by any thread without the lock.
  const ServerMetrics& metrics() const { return metrics_; }
  ServerMetrics& metrics() { return metrics_; }
  // Takes the lock: the server's users and channels as they are now (VoiceServerStatus.cpp).
  StatusSnapshot statusSnapshot();
  // Why the last start failed, in one line of the system's words for each socket ("TCP port
  // 10300: Address already in use"); empty after a start that succeeded.
  const std::string& startFailure() const { return startFailure_; }
  // The ports given to a successful start.
  int hostPort() const { return hostPort_; }
  int soundPort() const { return soundPort_; }

  // Everything below: lock held.

  // An accepted connection becomes a user: an id, the session, "welcome". Nothing (and the
  // connection is closed) when a limit refuses it or no id is free.
  void acceptConnection(std::unique_ptr<ClientConnection> connection) override;
  UserSession* addConnection(std::unique_ptr<ClientConnection> connection);

  // Rate limits: zero when the user may have its line handled now, or how long it must wait.
  // `toOthers`: the line may make the server send to other users; `login`: it is a "connect".
  std::chrono::steady_clock::duration admitLine(UserSession* user, bool toOthers, bool login);
  // The user's login deadline has passed.
  void loginTimedOut(UserSession* user);

  // Users.
  int allocateUserId();
  void login(UserSession* user);
  void disconnectUser(UserSession* user);
  void userUpdated(UserSession* user);
  void adminLogin(UserSession* user, const std::string& username, const std::string& password);
  bool isLocalUser(const UserSession* user) const;
  // A hello that counted on the voice thread: the user's voice endpoint, and the reply.
  void applyHello(const VoiceRelay::Hello& hello);

  // Channels and messages.
  void joinChannel(UserSession* user, const std::string& path, const std::string& password,
                   const std::string& topic);
  void kickUser(UserSession* kicker, const std::string& path, int targetId);
  void deliverMessage(UserSession* sender, const TextMessage& message);
  void broadcastChannelUpdate(const Channel* channel);

  // Timer work.
  void dropInactiveUsers();
  void sendKeepAlives();

  // The "forward" flag of "adduser" between two voice addresses (as numbers, 0 for none).
  static bool forwardBetween(std::uint32_t addressA, std::uint32_t addressB);
  static bool needsForwarding(std::uint32_t a, std::uint32_t b);

  UserSession* findUser(int id) const;
  std::size_t userCount() const { return users_.size(); }
  // Channels in the tree, the root included.
  std::size_t channelCount() const { return channelCount_; }
  const std::string& serverName() const { return serverName_; }
  ReactorPool& pool() { return pool_; }

 private:
  // Adds why opening a socket on `port` failed to startFailure_.
  void noteStartFailure(const char* protocol, int port);
  // The end of a start: the server counts as running from now.
  void markRunning();
  // Sends "removechannel" for each emptied created channel from `channel` up, and removes it.
  void pruneChannels(Channel* channel);
  void sendAddChannelToAll(const Channel* channel);
  // Whether the limits let a join create a channel of that name and topic at that depth.
  bool mayCreate(const std::string& name, std::size_t depth, const std::string& topic) const;
  void log(const std::string& entry) const;
  // "User #<id> name: "<nick>"" and the rest of the entry.
  void logUserEvent(const UserSession* user, const std::string& rest) const;
  // Why a connection from `record`'s address is refused, or nothing.
  std::optional<AddressRecord::Refusal> refusalFor(const AddressRecord& record,
                                                    std::uint32_t address) const;
  // Logs a refusal at most once a minute for each address and kind: true when this one is to be
  // logged (after a summary of those left out, if any). Nothing is logged with logging off.
  bool logRefusal(AddressRecord& record, AddressRecord::Refusal kind, const std::string& address);
  void logLeftOut(AddressRecord& record, AddressRecord::Refusal kind, const std::string& address);
  // A connection failed to log in (wrong passwords, login deadline): counts towards a ban.
  void countFailure(UserSession* user);
  // Removes the user: its connection closed, the server told.
  void closeAndRemove(UserSession* user);
  // The 30-s pass's housekeeping of the limits: summaries of refusals left out of the log,
  // addresses and voice senders not seen for a while.
  void tidyLimits();
  // The voice thread's hellos, queued for the lock (voiceHellos_ has a lock of its own).
  void queueHello(const VoiceRelay::Hello& hello);
  // Ends the loops' help with voice; no loop is helping once it returns.
  void endPassTask();
  void applyQueuedHellos();

  ReactorPool& pool_;
  bool running_ = false;
  bool logging_ = false;
  LogSink* log_ = nullptr;
  std::map<int, std::unique_ptr<UserSession>> users_;
  int lastUserId_ = 0;
  std::string serverName_;
  std::string serverPassword_;
  ListenSocket listener_;
  DatagramSocket voiceSocket_;
  Channel rootChannel_;
  std::string adminUsername_;
  std::string adminPassword_;
  std::time_t lastInactivityCheck_ = 0;
  bool allowForwarding_ = true;
  bool allowChannelCreation_ = true;
  bool allowOperators_ = true;
  bool voiceAddressCheck_ = true;
  ServerLimits limits_;
  AddressBook addresses_;
  std::size_t channelCount_ = 1;
  std::size_t outputLimit_;
  std::function<std::time_t()> clock_;
  int timerPeriodMs_ = kTimerPeriodMs;
  int hostPort_ = 0;
  int soundPort_ = 0;
  std::time_t startedAt_ = 0;
  std::string startFailure_;
  VoiceDirectory directory_;
  ServerMetrics metrics_;
  VoiceRelay relay_;
  std::mutex helloLock_;  // a leaf: never held with another lock
  std::vector<VoiceRelay::Hello> hellos_;
  // Last, so it is destroyed first: its threads call back into the members above.
  TimerService timers_;
};

}  // namespace quorvane
