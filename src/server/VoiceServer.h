// The server core: the listening and voice sockets, the user table, the channel tree and the
// timer of inactivity handling. Owns its sockets, its timers, the channel tree and every
// UserSession. Every operation on users or channels holds the server lock for its whole length;
// threads other than the event loops take the pool lock before it (design.md's lock order).
//
// Split by concern: lifecycle in VoiceServer.cpp, users in VoiceServerUsers.cpp, channels in
// VoiceServerChannels.cpp, datagrams in VoiceServerVoice.cpp, timer work in
// VoiceServerTimer.cpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "server/AddressBook.h"
#include "server/Channel.h"
#include "server/ServerLimits.h"
#include "transport/DatagramSocket.h"
#include "transport/ListenSocket.h"
#include "transport/TimerListener.h"
#include "transport/TimerService.h"

namespace quorvane {

class ClientConnection;
class UserSession;
struct TextMessage;

class VoiceServer : public TimerListener,
                    public ListenSocket::Owner,
                    public DatagramSocket::Owner {
 public:
  static constexpr int kTimerId = 1;
  static constexpr int kTimerPeriodMs = 30000;
  static constexpr std::time_t kInactivityLimitSeconds = 180;
  static constexpr int kMaxUserId = 32766;
  // The one address whose users are trusted as the server's own (operators, no passwords).
  static constexpr const char* kLocalAddress = "127.0.0.1";

  // Holds the pool lock and then the server lock: the order every thread follows.
  class Guard {
   public:
    explicit Guard(VoiceServer& server);

   private:
    std::lock_guard<std::recursive_mutex> pool_;
    std::lock_guard<std::recursive_mutex> server_;
  };

  // Copies the tree below `staticRoot` (which stays the caller's) and marks its channels static.
  explicit VoiceServer(const Channel* staticRoot = nullptr);
  VoiceServer(const VoiceServer&) = delete;
  VoiceServer& operator=(const VoiceServer&) = delete;
  // Call stop first; destroy with no lock held.
  ~VoiceServer() override;

  void setLogging(bool on) { logging_ = on; }
  void setAllowChannelCreation(bool on) { allowChannelCreation_ = on; }
  void setAllowOperators(bool on) { allowOperators_ = on; }
  void setAllowForwarding(bool on) { allowForwarding_ = on; }
  // On (the default): a voice hello counts only from the address of the named user's own TCP
  // connection, and voice is forwarded only from a logged-in user's confirmed endpoint to a
  // member of the same channel.
  void setVoiceAddressCheck(bool on) { voiceAddressCheck_ = on; }
  void setLimits(ServerLimits limits) { limits_ = std::move(limits); }
  const ServerLimits& limits() const { return limits_; }
  // Unsent output per client beyond which it counts as lost (for tests; the program keeps
  // ClientConnection::kOutputLimit).
  void setOutputLimit(std::size_t bytes) { outputLimit_ = bytes; }
  void setServerName(std::string name) { serverName_ = std::move(name); }
  void setServerPassword(std::string password) { serverPassword_ = std::move(password); }
  void setAdminAccount(std::string username, std::string password);

  // Opens both sockets, starts timer 1 and counts as running (also when a socket failed); true
  // only when both sockets opened and the listener listens.
  bool start(int hostPort, int soundPort);
  // Says "quit" to every client, removes every user, closes the sockets, clears the tree.
  void stop();
  bool running() const { return running_; }
  // The ports given to a successful start.
  int hostPort() const { return hostPort_; }
  int soundPort() const { return soundPort_; }

  // Transport callbacks (event-loop threads and the timer thread).
  bool acceptConnection(ListenSocket& listener) override;
  void onVoiceHello(Datagram datagram, const std::string& address, int port) override;
  void onVoiceForward(Datagram datagram, const sockaddr_in& sender) override;
  void onTimer(int id) override;

  // Makes an accepted connection a user: an id, the session, "welcome". Nothing (and the
  // connection is dropped) when no id is free or the connection cannot be made non-blocking.
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

  // The current time in seconds; tests may replace the clock.
  std::time_t now() const { return clock_(); }
  void setClock(std::function<std::time_t()> clock) { clock_ = std::move(clock); }
  // For tests: the period of timer 1 (the program always uses kTimerPeriodMs).
  void setTimerPeriod(int ms) { timerPeriodMs_ = ms; }

  // For the service and tests. Take the pool lock before this lock.
  std::recursive_mutex& lock() { return lock_; }
  UserSession* findUser(int id) const;
  std::size_t userCount() const { return users_.size(); }
  // Channels in the tree, the root included.
  std::size_t channelCount() const { return channelCount_; }
  Channel& rootChannel() { return rootChannel_; }
  const std::string& serverName() const { return serverName_; }

 private:
  // Sends "removechannel" for each emptied created channel from `channel` up, and removes it.
  void pruneChannels(Channel* channel);
  void sendAddChannelToAll(const Channel* channel);
  // Whether the limits let a join create a channel of that name and topic at that depth.
  bool mayCreate(const std::string& name, std::size_t depth, const std::string& topic) const;
  void sendDatagram(const std::uint8_t* bytes, const UserSession* user);
  // The user whose confirmed voice endpoint `sender` is, when it is logged in.
  UserSession* voiceSender(const sockaddr_in& sender) const;
  // Keeps voiceEndpoints_ in step with a user's endpoint: forget drops the user's entry,
  // remember adds it.
  void forgetVoiceEndpoint(const UserSession* user);
  void rememberVoiceEndpoint(UserSession* user);
  void log(const std::string& entry) const;
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
  // "User #<id> name: "<nick>"" and the rest of the entry.
  void logUserEvent(const UserSession* user, const std::string& rest) const;

  std::atomic<bool> running_{false};
  bool logging_ = false;
  std::map<int, std::unique_ptr<UserSession>> users_;
  int lastUserId_ = 0;
  std::string serverName_;
  std::string serverPassword_;
  ListenSocket listener_;
  DatagramSocket voiceSocket_;
  std::recursive_mutex lock_;
  Channel rootChannel_;
  std::string adminUsername_;
  std::string adminPassword_;
  std::time_t lastInactivityCheck_ = 0;
  bool allowForwarding_ = true;
  bool allowChannelCreation_ = true;
  bool allowOperators_ = true;
  bool voiceAddressCheck_ = true;
  // Users by the voice endpoint of their last hello (address and port, as sent on the wire).
  std::unordered_map<std::uint64_t, UserSession*> voiceEndpoints_;
  ServerLimits limits_;
  AddressBook addresses_;
  // The voice limit's buckets, by sending address and port.
  std::unordered_map<std::uint64_t, TokenBucket> voiceBuckets_;
  std::size_t channelCount_ = 1;
  std::size_t outputLimit_;
  std::function<std::time_t()> clock_;
  int timerPeriodMs_ = kTimerPeriodMs;
  int hostPort_ = 0;
  int soundPort_ = 0;
  // Last, so it is destroyed first: its threads call back into the members above.
  TimerService timers_;
};

}  // namespace quorvane
