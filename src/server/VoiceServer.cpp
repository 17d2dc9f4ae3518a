#include "server/VoiceServer.h"

#include <deque>

#include "protocol/VoiceDatagram.h"
#include "server/UserSession.h"
#include "transport/ClientConnection.h"

namespace quorvane {

namespace {

// The platform's largest backlog: with a small one, connections of a burst (all clients coming
// back after a restart) are lost in the kernel before they are ever accepted.
constexpr int kListenBacklog = SOMAXCONN;

// The kernel's send buffer of a client connection: with the server's own queue it bounds what a
// client that never reads costs the host. (Linux doubles the value asked for.)
constexpr int kSendBufferBytes = 32 * 1024;

std::time_t systemClock() { return std::time(nullptr); }

// The refusals of an address are counted under the same numbers.
static_assert(int(ServerMetrics::Banned) == AddressRecord::Banned &&
              int(ServerMetrics::TooManyPending) == AddressRecord::TooManyPending &&
              int(ServerMetrics::TooManyConnections) == AddressRecord::TooManyConnections &&
              int(ServerMetrics::ServerFull) == AddressRecord::ServerFull);

// Marks every channel below `root` static; the root itself stays as it is. Returns how many
// channels the tree holds, the root included.
std::size_t markStaticBelow(Channel& root) {
  std::size_t count = 1;
  std::deque<Channel*> queue{&root};
  while (!queue.empty()) {
    Channel* channel = queue.front();
    queue.pop_front();
    for (const auto& child : channel->children()) {
      child->setStatic(true);
      queue.push_back(child.get());
      ++count;
    }
  }
  return count;
}

}  // namespace

VoiceServer::VoiceServer(ReactorPool& pool, const Channel* staticRoot)
    : pool_(pool),
      listener_(pool),
      rootChannel_(std::string()),
      outputLimit_(ClientConnection::kOutputLimit),
      clock_(systemClock),
      relay_(voiceSocket_, directory_, [this](const VoiceRelay::Hello& hello) { queueHello(hello); },
             metrics_) {
  if (staticRoot != nullptr) {
    copyChannelTree(*staticRoot, rootChannel_);
    channelCount_ = markStaticBelow(rootChannel_);
  }
  metrics_.channels.store(channelCount_);
  metrics_.staticChannels.store(channelCount_);
}

VoiceServer::~VoiceServer() {
  endPassTask();
  relay_.stop();
  Guard guard(*this);
  pool_.cancelPosts(this);
  listener_.close();
}

void VoiceServer::endPassTask() {
  Guard guard(*this);
  pool_.setPassTask(nullptr);
}

void VoiceServer::setAdminAccount(std::string username, std::string password) {
  adminUsername_ = std::move(username);
  adminPassword_ = std::move(password);
}

bool VoiceServer::start(int hostPort, int soundPort) {
  Guard guard(*this);
  if (running_) return false;
  if (hostPort == 0 || soundPort == 0) {
    startFailure_ = "a port of 0 cannot be served";
    return false;
  }

  startFailure_.clear();
  const bool tcpOpen = listener_.create(hostPort, Socket::Stream);
  if (!tcpOpen) noteStartFailure("TCP", hostPort);
  if (!tcpOpen && logging_) log("Error opening TCP socket on port " + std::to_string(hostPort));
  const bool udpOpen = voiceSocket_.create(soundPort, Socket::Datagram);
  if (!udpOpen) noteStartFailure("UDP", soundPort);
  if (!udpOpen && logging_) log("Error opening UDP socket on port " + std::to_string(soundPort));

  bool listening = false;
  if (tcpOpen && udpOpen) {
    listener_.setNonBlocking(true);
    listening = listener_.listen(kListenBacklog);
    if (!listening) noteStartFailure("TCP", hostPort);
    if (listening) {
      hostPort_ = hostPort;
      soundPort_ = soundPort;
      directory_.configure({voiceAddressCheck_, allowForwarding_, limits_.voiceLimit});
      listener_.setOwner(this);
      relay_.start();
      pool_.setPassTask([this] { relay_.help(); });
    }
  }

  timers_.startTimer(this, kTimerId, timerPeriodMs_, true);
  markRunning();
  return tcpOpen && udpOpen && listening;
}

bool VoiceServer::startDriven() {
  Guard guard(*this);
  if (running_) return false;
  if (!voiceSocket_.create(0, Socket::Datagram, kLocalAddress) ||
      !voiceSocket_.setNonBlocking(true)) {
    voiceSocket_.close();
    return false;
  }
  soundPort_ = voiceSocket_.localPort();
  directory_.configure({voiceAddressCheck_, allowForwarding_, limits_.voiceLimit});
  markRunning();
  return true;
}

void VoiceServer::markRunning() {
  lastInactivityCheck_ = now();
  startedAt_ = now();
  running_ = true;
  if (logging_) log("Started Quorvane server.");
}

// Right after the failed call, while its error is the last one.
void VoiceServer::noteStartFailure(const char* protocol, int port) {
  const bool valid = port > 0 && port <= 65535;
  std::string reason = std::string(protocol) + " port " + std::to_string(port) + ": " +
                       (valid ? Socket::lastErrorText() : "not a valid port number");
  startFailure_ += (startFailure_.empty() ? "" : "; ") + reason;
}

void VoiceServer::stop() {
  // The voice path ends first (the loops' help, then the voice thread): it reaches the server
  // only through the hellos it queues.
  endPassTask();
  relay_.stop();
  {
    Guard guard(*this);
    if (!running_) return;
    timers_.cancelTimer(kTimerId);
    pool_.cancelPosts(this);

    std::vector<UserSession*> noted;
    for (auto& entry : users_) {
      UserSession* user = entry.second.get();
      user->setServer(nullptr);
      user->sendQuit();
      noted.push_back(user);
    }
    for (UserSession* user : noted) {
      // "quit" (and whatever else is queued) goes out before the connection closes.
      user->closeConnection();
      disconnectUser(user);
    }

    listener_.close();
    voiceSocket_.close();
    directory_.clear();
    rootChannel_.clear();
    channelCount_ = 1;
    lastInactivityCheck_ = 0;
    running_ = false;
  }
  if (logging_) log("Stopped Quorvane server.");
}

void VoiceServer::acceptConnection(std::unique_ptr<ClientConnection> connection) {
  addConnection(std::move(connection));
}

UserSession* VoiceServer::addConnection(std::unique_ptr<ClientConnection> connection) {
  pool_.assertLocked();
  std::string peerAddress;
  int peerPort = -1;
  connection->peerAddress(peerAddress, peerPort);
  const std::uint32_t number = UserRecord::addressNumber(peerAddress);
  AddressRecord& address = addresses_.at(number);
  address.trusted = limits_.trusted.count(number) != 0;
  if (const auto refusal = refusalFor(address, number)) {
    // Closed at once, before it is greeted or given an id.
    bump(metrics_.refused[*refusal]);
    if (logRefusal(address, *refusal, peerAddress)) {
      log("Connection from " + peerAddress + " refused: " + refusalReason(*refusal) + ".");
    }
    return nullptr;
  }
  if (!pool_.hasRoom()) {
    // No event loop can take it (at the descriptor limit a new one cannot open its wait): closed
    // at once, as a connection that the limit leaves no descriptor for.
    bump(pool_.counters().descriptorRefusals);
    return nullptr;
  }
  const int id = allocateUserId();
  if (id == 0) {
    // No id free: the connection is dropped unheard.
    bump(metrics_.refused[ServerMetrics::NoFreeId]);
    return nullptr;
  }
  if (!connection->setNonBlocking(true)) return nullptr;
  connection->setNoDelay();
  connection->setSendBufferSize(kSendBufferBytes);
  connection->setOutputLimit(outputLimit_);

  auto session = std::make_unique<UserSession>(id, this, std::move(connection));
  UserSession* user = session.get();
  user->setPeer(std::move(peerAddress), peerPort);
  user->setAddress(&address);
  ++address.connections;
  ++address.pending;
  users_[id] = std::move(session);
  bump(metrics_.accepted);
  metrics_.usersConnected.store(users_.size(), std::memory_order_relaxed);
  directory_.addUser(id, number);
  ClientConnection* accepted = user->connection();
  accepted->setOwner(user);
  if (limits_.loginTimeout != 0) {
    accepted->setDeadline(std::chrono::steady_clock::now() +
                          std::chrono::seconds(limits_.loginTimeout));
  }
  user->setLastPingTime(now());
  user->sendWelcome(serverName_, allowForwarding_, allowChannelCreation_, allowOperators_);
  return user;
}

UserSession* VoiceServer::findUser(int id) const {
  pool_.assertLocked();
  auto it = users_.find(id);
  return it == users_.end() ? nullptr : it->second.get();
}

void VoiceServer::log(const std::string& entry) const {
  if (log_ != nullptr) log_->write(entry);
}

void VoiceServer::logUserEvent(const UserSession* user, const std::string& rest) const {
  log("User #" + std::to_string(user->id()) + " name: \"" + user->nick() + "\"" + rest);
}

}  // namespace quorvane
