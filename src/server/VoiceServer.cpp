#include "server/VoiceServer.h"

#include <deque>

#include "server/UserSession.h"
#include "service/ServerLog.h"
#include "transport/ReactorPool.h"

namespace quorvane {

namespace {

// The platform's largest backlog: with a small one, connections of a burst (all clients coming
// back after a restart) are lost in the kernel before they are ever accepted.
constexpr int kListenBacklog = SOMAXCONN;

std::time_t systemClock() { return std::time(nullptr); }

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

// The kernel's send buffer of a client connection: with the server's own queue it bounds what a
// client that never reads costs the host. (Linux doubles the value asked for.)
constexpr int kSendBufferBytes = 32 * 1024;

}  // namespace

VoiceServer::Guard::Guard(VoiceServer& server)
    : pool_(ReactorPool::instance().mutex()), server_(server.lock_) {}

VoiceServer::VoiceServer(const Channel* staticRoot)
    : listener_(this),
      voiceSocket_(this),
      rootChannel_(std::string()),
      outputLimit_(ClientConnection::kOutputLimit),
      clock_(systemClock) {
  if (staticRoot != nullptr) {
    copyChannelTree(*staticRoot, rootChannel_);
    channelCount_ = markStaticBelow(rootChannel_);
  }
}

VoiceServer::~VoiceServer() = default;

void VoiceServer::setAdminAccount(std::string username, std::string password) {
  adminUsername_ = std::move(username);
  adminPassword_ = std::move(password);
}

bool VoiceServer::start(int hostPort, int soundPort) {
  if (running_ || hostPort == 0 || soundPort == 0) return false;

  bool tcpOpen = listener_.create(hostPort, Socket::Stream);
  if (!tcpOpen && logging_) log("Error opening TCP socket on port " + std::to_string(hostPort));
  bool udpOpen = voiceSocket_.create(soundPort, Socket::Datagram);
  if (!udpOpen && logging_) log("Error opening UDP socket on port " + std::to_string(soundPort));

  bool listening = false;
  if (tcpOpen && udpOpen) {
    listener_.setNonBlocking(true);
    listening = listener_.listen(kListenBacklog);
    if (listening) {
      // A spurious readiness must never block an event loop on the voice socket.
      voiceSocket_.setNonBlocking(true);
      hostPort_ = hostPort;
      soundPort_ = soundPort;
      listener_.setOwner(this);
      voiceSocket_.setOwner(this);
    }
  }

  timers_.startTimer(this, kTimerId, timerPeriodMs_, true);
  lastInactivityCheck_ = now();
  running_ = true;
  if (logging_) log("Started Quorvane server.");
  return tcpOpen && udpOpen && listening;
}

void VoiceServer::stop() {
  {
    Guard guard(*this);
    if (!running_) return;
    timers_.cancelTimer(kTimerId);

    std::vector<UserSession*> noted;
    for (auto& entry : users_) {
      UserSession* user = entry.second.get();
      user->setServer(nullptr);
      user->sendQuit();
      noted.push_back(user);
    }
    for (UserSession* user : noted) {
      // Send "quit" (and whatever else is queued) before the connection goes.
      user->closeConnection();
      disconnectUser(user);
    }

    listener_.close();
    voiceSocket_.close();
    rootChannel_.clear();
    channelCount_ = 1;
    lastInactivityCheck_ = 0;
    running_ = false;
  }
  if (logging_) log("Stopped Quorvane server.");
}

bool VoiceServer::acceptConnection(ListenSocket& listener) {
  auto connection = std::make_unique<ClientConnection>();
  if (!listener.accept(*connection)) return false;
  addConnection(std::move(connection));
  return true;
}

UserSession* VoiceServer::addConnection(std::unique_ptr<ClientConnection> connection) {
  Guard guard(*this);
  std::string peerAddress;
  int peerPort = -1;
  connection->peerAddress(peerAddress, peerPort);
  const std::uint32_t number = UserRecord::addressNumber(peerAddress);
  AddressRecord& address = addresses_.at(number);
  address.trusted = limits_.trusted.count(number) != 0;
  if (const auto refusal = refusalFor(address, number)) {
    // Closed at once, before it is greeted or given an id.
    if (logRefusal(address, *refusal, peerAddress)) {
      log("Connection from " + peerAddress + " refused: " + refusalReason(*refusal) + ".");
    }
    return nullptr;
  }
  int id = allocateUserId();
  if (id == 0) return nullptr;  // no id free: the connection is dropped unheard

  auto session = std::make_unique<UserSession>(id, this, std::move(connection));
  ClientConnection* accepted = session->connection();
  if (!accepted->setNonBlocking(true)) return nullptr;
  accepted->setNoDelay();
  accepted->setSendBufferSize(kSendBufferBytes);
  accepted->setOutputLimit(outputLimit_);
  session->setPeer(std::move(peerAddress), peerPort);
  session->setAddress(&address);
  ++address.connections;
  ++address.pending;
  if (limits_.loginTimeout != 0) {
    accepted->setDeadline(std::chrono::steady_clock::now() +
                          std::chrono::seconds(limits_.loginTimeout));
  }

  UserSession* user = session.get();
  users_[id] = std::move(session);
  accepted->setOwner(user);
  user->setLastPingTime(now());
  user->sendWelcome(serverName_, allowForwarding_, allowChannelCreation_, allowOperators_);
  return user;
}

UserSession* VoiceServer::findUser(int id) const {
  auto it = users_.find(id);
  return it == users_.end() ? nullptr : it->second.get();
}

void VoiceServer::log(const std::string& entry) const { ServerLog::instance().write(entry); }

void VoiceServer::logUserEvent(const UserSession* user, const std::string& rest) const {
  log("User #" + std::to_string(user->id()) + " name: \"" + user->nick() + "\"" + rest);
}

}  // namespace quorvane
