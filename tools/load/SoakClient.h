// One simulated user of a load run: it logs in, acts at random (seeded), reconnects after it
// drops or quits, and checks every line and datagram it receives. Owned by a LoadWorker and
// used on that worker's thread only.
//
// Split by concern: the scenario in SoakClient.cpp, the checks of what arrives in
// SoakClientChecks.cpp.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <random>
#include <set>
#include <string>
#include <unordered_map>

#include "client/ClientLoop.h"
#include "client/ProtocolClient.h"
#include "load/LoadOptions.h"
#include "load/LoadStats.h"
#include "load/PeerDirectory.h"
#include "load/SoakPayload.h"

namespace quorvane {

class SoakClient final : public ProtocolClient::Handler {
 public:
  using Clock = ClientLoop::Clock;

  // What the client shares with the rest of the run.
  struct Context {
    ClientLoop& loop;
    PeerDirectory& peers;
    LoadStats& stats;
    const LoadOptions& options;
  };

  SoakClient(const Context& context, int index);
  ~SoakClient();
  SoakClient(const SoakClient&) = delete;
  SoakClient& operator=(const SoakClient&) = delete;

  // Opens the first session at `when`.
  void start(Clock::time_point when);
  // Stops acting. A logged-in session sends "ping" and is drained once every reply it waits
  // for has come; any other session is closed. May be called again for a second round.
  void beginDrain();
  bool drained() const;
  // Ends the session with "quit" (or drops one that is not logged in).
  void finish();
  // Adds what the connection sent since the last call to the run's counters.
  void accountSends();

  // For the check of the last messages after the run: true when this session was logged in
  // from before the drain to the end.
  bool completedRun() const { return completed_; }
  std::uint32_t sessionKey() const { return key_; }
  // The last sequence number sent to each recipient session.
  const std::unordered_map<std::uint32_t, std::uint32_t>& sentToUsers() const { return sentTo_; }
  std::uint32_t lastReceivedFrom(std::uint32_t sender) const;

  void onLine(ProtocolClient& client, const ServerLine& line) override;
  void onDatagram(ProtocolClient& client, std::span<const std::uint8_t> bytes) override;
  void onLoggedIn(ProtocolClient& client) override;
  void onClosed(ProtocolClient& client, const std::string& reason) override;
  void onBadLineEnd(ProtocolClient& client, std::string_view text) override;

 private:
  // A reply the server owes this client, in the order of the requests.
  struct Expected {
    enum Kind { Pong, Pwc, Joined, YouAre, Error } kind;
    std::string text;  // Joined: the path; YouAre: the nick
    int number = 0;    // Error: the number
  };

  // The scenario.
  void openSession();
  void endSession(bool reset = false);
  void scheduleReconnect();
  void scheduleAction(Clock::duration delay);
  void act();
  void actAtRandom();
  void send(const std::string& line);
  void request(const std::string& line, Expected expected);
  void sendPing();
  void joinChannel();
  void messageUser();
  void messageChannel();
  void sendVoice();
  void provokeError();
  void changeStatus();
  void changeNick();
  void dropAbruptly();
  void quitAndReturn();
  std::string randomPath(bool nested);
  int below(int n);

  // The checks.
  void fault(const std::string& what, const ServerLine* line = nullptr);
  void checkLine(const ServerLine& line);
  bool checkReply(const ServerLine& line);
  void checkAccepted(const ServerLine& line);
  void checkYouAre(const ServerLine& line, const Expected& expected);
  void checkChannelList(const ServerLine& line);
  void checkMembers(const ServerLine& line);
  void checkMessage(const ServerLine& line);
  void checkSequence(std::unordered_map<std::uint32_t, std::uint32_t>& last,
                     const SoakStamp& stamp, bool firstMayBeLate);
  void checkVoice(std::span<const std::uint8_t> bytes);

  Context context_;
  int index_;
  std::mt19937_64 random_;
  ProtocolClient client_;
  std::uint32_t key_ = 0;
  std::string nick_;
  bool anchor_ = false;
  bool welcomed_ = false;
  // Logged in and not yet ended.
  bool live_ = false;
  bool draining_ = false;
  bool finished_ = false;
  bool completed_ = false;
  std::deque<Expected> expected_;
  std::string channel_;
  std::set<int> members_;
  std::set<std::string, std::less<>> channels_;
  std::unordered_map<std::uint32_t, std::uint32_t> sentTo_;
  std::map<std::string, std::uint32_t> sentToChannel_;
  std::unordered_map<std::uint32_t, std::uint32_t> fromUsers_;
  std::unordered_map<std::uint32_t, std::uint32_t> fromChannel_;
  std::uint32_t voiceSequence_ = 0;
  Clock::time_point pingDue_{};
  ClientLoop::TimerId actionTimer_{};
  ClientLoop::TimerId sessionTimer_{};
  std::uint64_t accountedLines_ = 0;
  std::uint64_t accountedDatagrams_ = 0;
};

}  // namespace quorvane
