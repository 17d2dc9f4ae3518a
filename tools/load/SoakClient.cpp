#include "load/SoakClient.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "client/ClientCommands.h"

namespace quorvane {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr seconds kLoginTimeout{30};
constexpr int kStaticChannels = 10;
constexpr const char* kNestedNames[] = {"a", "b"};

// Actions, chosen by weight (per thousand).
enum Action { MessageUser, MessageChannel, Ping, Pwc, Whoami, Status, Nick, Join, Voice,
              Provoke, Drop, Quit, kActionCount };
constexpr int kWeights[kActionCount] = {230, 180, 63, 50, 50, 80, 50, 100, 160, 25, 8, 4};

}  // namespace

SoakClient::SoakClient(const Context& context, int index)
    : context_(context),
      index_(index),
      random_(context.options.seed * 1000003u + static_cast<std::uint64_t>(index)) {
  client_.setHandler(this);
}

SoakClient::~SoakClient() { context_.loop.detach(client_); }

int SoakClient::below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

void SoakClient::start(Clock::time_point when) {
  sessionTimer_ = context_.loop.schedule(when, [this] { openSession(); });
}

void SoakClient::openSession() {
  key_ = context_.peers.newSessionKey();
  nick_ = "soak" + std::to_string(key_) + SoakPayload::randomText(random_, below(8));
  anchor_ = false;
  welcomed_ = false;
  live_ = false;
  completed_ = false;
  expected_.clear();
  channel_.clear();
  members_.clear();
  channels_.clear();
  sentTo_.clear();
  sentToChannel_.clear();
  fromUsers_.clear();
  fromChannel_.clear();
  voiceSequence_ = 0;

  ProtocolClient::Options options;
  options.host = context_.options.host;
  options.hostPort = context_.options.port;
  options.soundPort = context_.options.soundPort;
  // The connection and the voice socket on one address, as a real client comes from one host
  // (the server honours a hello only from the connection's address). Not 127.0.0.1: local users
  // become operators everywhere, which no real client is.
  options.voiceAddress = "127.0.0." + std::to_string(2 + index_ % 250);
  options.login.nick = nick_;
  if (!client_.open(options)) {
    context_.stats.problem(LoadStats::UnexpectedDisconnects,
                           "client " + std::to_string(index_) + ": " + client_.lastError());
    scheduleReconnect();
    return;
  }
  context_.loop.attach(client_);
  sessionTimer_ = context_.loop.scheduleAfter(kLoginTimeout, [this] {
    if (client_.loggedIn()) return;
    context_.stats.problem(LoadStats::UnexpectedDisconnects,
                           "client " + std::to_string(index_) + ": no login within 30 s");
    endSession();
    scheduleReconnect();
  });
}

void SoakClient::onLoggedIn(ProtocolClient& client) {
  context_.loop.cancel(sessionTimer_);
  context_.stats.add(LoadStats::Logins);
  live_ = true;
  anchor_ = client.userId() <= PeerDirectory::kLargestVoiceId;
  context_.peers.add({client.userId(), key_});
  pingDue_ = Clock::now() + seconds(20 + below(20));
  // The first action moves the client out of the root channel.
  scheduleAction(milliseconds(below(context_.options.intervalMs)));
}

// Forgets the session: nobody may pick it any more, and nothing of it stays scheduled.
void SoakClient::endSession(bool reset) {
  if (live_) context_.stats.add(LoadStats::SessionsEnded);
  live_ = false;
  context_.peers.remove(key_);
  context_.loop.cancel(actionTimer_);
  context_.loop.cancel(sessionTimer_);
  accountSends();
  context_.loop.detach(client_);
  client_.close(reset);
  expected_.clear();
}

void SoakClient::scheduleReconnect() {
  if (draining_ || finished_) return;
  sessionTimer_ = context_.loop.scheduleAfter(milliseconds(200 + below(1800)),
                                              [this] { openSession(); });
}

void SoakClient::scheduleAction(Clock::duration delay) {
  actionTimer_ = context_.loop.scheduleAfter(delay, [this] { act(); });
}

void SoakClient::act() {
  if (!client_.loggedIn() || draining_) return;
  const std::uint32_t session = key_;
  if (channel_ == "/") {
    joinChannel();
  } else if (Clock::now() >= pingDue_) {
    sendPing();
  } else {
    actAtRandom();
  }
  accountSends();
  // Dropping or quitting ends the session; its successor schedules its own actions.
  if (client_.loggedIn() && key_ == session) {
    const int mean = context_.options.intervalMs;
    scheduleAction(milliseconds(mean / 2 + below(mean)));
  }
}

void SoakClient::actAtRandom() {
  int pick = below(1000);
  int action = 0;
  while (pick >= kWeights[action]) pick -= kWeights[action++];
  // Only ids up to 255 can receive voice: those sessions stay for the whole run.
  if (anchor_ && (action == Drop || action == Quit)) action = Ping;
  switch (action) {
    case MessageUser: messageUser(); break;
    case MessageChannel: messageChannel(); break;
    case Ping: sendPing(); break;
    case Pwc: request(std::string(kPwcLine), {Expected::Pwc, {}}); break;
    case Whoami: request(std::string(kWhoamiLine), {Expected::YouAre, nick_}); break;
    case Status: changeStatus(); break;
    case Nick: changeNick(); break;
    case Join: joinChannel(); break;
    case Voice: sendVoice(); break;
    case Provoke: provokeError(); break;
    case Drop: dropAbruptly(); break;
    default: quitAndReturn(); break;
  }
}

void SoakClient::send(const std::string& line) { client_.sendLine(line); }

void SoakClient::request(const std::string& line, Expected expected) {
  expected_.push_back(std::move(expected));
  send(line);
}

void SoakClient::sendPing() {
  pingDue_ = Clock::now() + seconds(20 + below(20));
  request(std::string(kPingLine), {Expected::Pong, {}});
}

std::string SoakClient::randomPath(bool nested) {
  std::string path = "/soak/" + std::to_string(below(kStaticChannels)) + "/";
  if (nested) path += std::string(kNestedNames[below(2)]) + "/";
  return path;
}

void SoakClient::joinChannel() {
  std::string path;
  do {
    path = randomPath(below(10) < 3);
  } while (path == channel_);
  const std::string parent = path.substr(0, path.find('/', 6) + 1);
  if (!channels_.contains(parent)) {
    fault("the server has no channel " + parent +
          " (it needs static channels /soak/0/ to /soak/9/)");
    return;
  }
  request(joinLine(path, "", "soak"), {Expected::Joined, path});
}

void SoakClient::messageUser() {
  PeerDirectory::Peer peer;
  if (!context_.peers.pick(random_, key_, peer)) return;
  const SoakStamp stamp{key_, ++sentTo_[peer.key], peer.key, client_.userId()};
  send(messageToUserLine(peer.id, SoakPayload::messageText(stamp)));
}

void SoakClient::messageChannel() {
  const std::string path = below(10) < 6 ? channel_ : randomPath(below(10) < 3);
  const SoakStamp stamp{key_, ++sentToChannel_[path], 0, client_.userId()};
  send(messageToChannelLine(path, SoakPayload::messageText(stamp)));
}

// Voice goes to another member of this client's channel, as the server forwards nothing else,
// and not while a join is on its way, which may have moved this client already.
void SoakClient::sendVoice() {
  const bool joining = std::any_of(expected_.begin(), expected_.end(), [](const Expected& e) {
    return e.kind == Expected::Joined;
  });
  std::vector<int> listeners;
  for (const int id : members_) {
    if (id <= PeerDirectory::kLargestVoiceId) listeners.push_back(id);
  }
  if (joining || listeners.empty()) return;
  PeerDirectory::Peer peer;
  const auto pick = static_cast<std::size_t>(below(static_cast<int>(listeners.size())));
  if (!context_.peers.find(listeners[pick], peer)) return;
  for (int n = 3 + below(4); n > 0; --n) {
    const SoakStamp stamp{key_, ++voiceSequence_, peer.key, client_.userId()};
    if (client_.sendDatagram(SoakPayload::voice(stamp, peer.id))) {
      context_.stats.add(LoadStats::VoiceSent);
    }
  }
}

// Requests that must fail, each with its one error number.
void SoakClient::provokeError() {
  LoginDetails details;
  details.nick = nick_;
  switch (below(6)) {
    case 0: request("frobnicate", {Expected::Error, {}, 204}); break;
    case 1: request("join channel=\"/soak/1/\" password=\"\"", {Expected::Error, {}, 105}); break;
    case 2: request("changestatus statusmessage=\"x\"", {Expected::Error, {}, 106}); break;
    case 3: request(connectLine(details), {Expected::Error, {}, 400}); break;
    case 4: request(joinLine("/nowhere/soak/", "", ""), {Expected::Error, {}, 302}); break;
    default: request(kickLine(client_.userId(), "/soak/0/"), {Expected::Error, {}, 303}); break;
  }
}

void SoakClient::changeStatus() {
  send(changeStatusLine(below(6), SoakPayload::randomText(random_, below(20))));
}

void SoakClient::changeNick() {
  nick_ = "soak" + std::to_string(key_) + "-" + SoakPayload::randomText(random_, below(10));
  send(changeNickLine(nick_));
}

void SoakClient::dropAbruptly() {
  context_.stats.add(LoadStats::AbruptDisconnects);
  // Half of them reset the connection, the others close it in order.
  endSession(below(2) == 0);
  scheduleReconnect();
}

void SoakClient::quitAndReturn() {
  context_.stats.add(LoadStats::Quits);
  context_.peers.remove(key_);
  client_.quit();
  endSession();
  scheduleReconnect();
}

void SoakClient::beginDrain() {
  context_.loop.cancel(actionTimer_);
  context_.loop.cancel(sessionTimer_);
  if (!client_.loggedIn()) {
    completed_ = false;
    draining_ = true;
    endSession();
    return;
  }
  if (!draining_) completed_ = true;
  draining_ = true;
  request(std::string(kPingLine), {Expected::Pong, {}});
}

bool SoakClient::drained() const { return !client_.loggedIn() || expected_.empty(); }

void SoakClient::finish() {
  finished_ = true;
  context_.loop.cancel(sessionTimer_);
  if (!expected_.empty()) {
    context_.stats.problem(LoadStats::LostLines,
                           "client " + std::to_string(index_) + ": " +
                               std::to_string(expected_.size()) + " replies never came",
                           expected_.size());
  }
  if (client_.loggedIn()) {
    context_.peers.remove(key_);
    client_.quit();
  }
  endSession();
}

void SoakClient::accountSends() {
  context_.stats.add(LoadStats::Commands, client_.linesSent() - accountedLines_);
  context_.stats.add(LoadStats::Datagrams, client_.datagramsSent() - accountedDatagrams_);
  accountedLines_ = client_.linesSent();
  accountedDatagrams_ = client_.datagramsSent();
}

std::uint32_t SoakClient::lastReceivedFrom(std::uint32_t sender) const {
  const auto found = fromUsers_.find(sender);
  return found == fromUsers_.end() ? 0 : found->second;
}

}  // namespace quorvane
