// One UDP datagram of any size and content reaches the voice socket's input handler, whose owner
// is a running server with four logged-in users in the root channel, all connected from
// 127.0.0.1: three listeners whose voice address is a sink, and a speaker whose confirmed voice
// endpoint is the socket that sends the datagrams. Only a datagram of exactly 150 bytes may have
// effects, and only of kind 1 (the named user's voice address, port and confirmation change, and
// the sender gets the reply) or kind 5 (the named user gets the datagram as kind 4: it comes from
// the speaker's endpoint).
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "server/UserSession.h"
#include "transport/DatagramSocket.h"
#include "transport/ReactorPool.h"

namespace quorvane::fuzz {
namespace {

constexpr int kListeners = 3;
constexpr int kUsers = kListeners + 1;
constexpr int kSpeaker = kListeners;
constexpr std::size_t kLargestDatagram = 2048;
constexpr int kDeliveryPatienceMs = 1000;
// The timer never fires during a run, so nothing but the datagram changes the users.
constexpr int kQuietTimerMs = 24 * 3600 * 1000;
constexpr const char* kAddress = "127.0.0.1";

int byteAt(std::string_view datagram, int i) { return static_cast<unsigned char>(datagram[i]); }
// The user id of a hello: bytes 2 and 3, little-endian.
int idAt(std::string_view datagram) { return byteAt(datagram, 2) + 256 * byteAt(datagram, 3); }

struct Voice {
  std::string address;
  int port;
  bool confirmed;
  bool operator==(const Voice&) const = default;
};

// A running server with users 1 to 4 on socketpairs, a voice socket under test whose owner is that
// server, the socket that sends the datagrams (the speaker's endpoint), and the socket the
// listeners' voice address names before each run.
class DatagramBench {
 public:
  DatagramBench();
  // The server stops before it goes, as every server must.
  ~DatagramBench() {
    server_->stop();
    for (int peer : peers_) ::close(peer);
  }

  void run(std::string_view datagram);

 private:
  // Where each user's voice is between runs: the listeners at the sink, unconfirmed, the speaker
  // at the sender, confirmed.
  std::array<Voice, kUsers> restingVoices() const;
  // Puts every user back there through the server's own hello, which keeps its index of voice
  // endpoints right, and takes the replies.
  void reset();
  std::array<Voice, kUsers> voices();
  bool isUser(int id) const { return std::find(ids_.begin(), ids_.end(), id) != ids_.end(); }
  std::array<Voice, kUsers> expectedVoices(std::string_view datagram) const;
  // What the sender must get (the reply to a hello, or voice forwarded to the speaker) and what
  // the sink must get (voice forwarded to a listener).
  std::string expectedAtSender(std::string_view datagram) const;
  std::string expectedAtSink(std::string_view datagram) const;
  // The forwarded datagram when it goes to user `slot`, or none.
  std::string forwardedTo(std::string_view datagram, int slot) const;
  // The datagram `socket` must now hold, or none.
  static void expectDelivery(LoopbackUdp& socket, const std::string& expected, const char* what);

  std::unique_ptr<VoiceServer> server_;
  std::vector<int> peers_;
  DatagramSocket socket_;
  LoopbackUdp sender_;
  LoopbackUdp sink_;
  std::array<int, kUsers> ids_{};
};

std::string helloReply(std::string_view hello) {
  std::string reply(kDatagramSize, '\0');
  reply[0] = kVoiceHelloReply;
  reply[1] = 2;
  reply[2] = hello[2];
  reply[3] = hello[3];
  return reply;
}

DatagramBench::DatagramBench()
    : server_(startOnFreePorts([](VoiceServer& server) {
        server.setClock([] { return std::time_t{1000000}; });
        server.setTimerPeriod(kQuietTimerMs);
      })),
      socket_(server_.get()) {
  for (int& id : ids_) {
    int serverEnd = -1, peer = -1;
    if (!makeSocketPair(serverEnd, peer)) fail("no socketpair for a user");
    UserSession* user = server_->addConnection(std::make_unique<AdoptedConnection>(serverEnd));
    if (user == nullptr) fail("the server refused an in-memory connection");
    // As if accepted from 127.0.0.1 (a socketpair has no address), where the hellos come from.
    user->setPeer(kAddress, 40000 + static_cast<int>(peers_.size()));
    id = user->id();
    peers_.push_back(peer);
  }
  reset();
  for (int id : ids_) server_->login(server_->findUser(id));
  // Not registered with the event loop: the runs call its input handler themselves.
  if (!socket_.create(0, Socket::Datagram, kAddress) || !socket_.setNonBlocking(true)) {
    fail("no voice socket to test");
  }
}

std::array<Voice, kUsers> DatagramBench::restingVoices() const {
  std::array<Voice, kUsers> result;
  result.fill({kAddress, sink_.port(), false});
  result[kSpeaker] = {kAddress, sender_.port(), true};
  return result;
}

void DatagramBench::reset() {
  const std::array<Voice, kUsers> resting = restingVoices();
  // The speaker last: a listener's hello may have taken the sender's endpoint over.
  for (int i = 0; i < kUsers; ++i) {
    // Byte 1 above 2 leaves an unconfirmed listener unconfirmed.
    const std::uint8_t confirming = i == kSpeaker ? 0 : 3;
    std::uint8_t hello[kDatagramSize] = {kVoiceHello, confirming,
                                         static_cast<std::uint8_t>(ids_[i] & 0xFF),
                                         static_cast<std::uint8_t>(ids_[i] >> 8)};
    server_->onVoiceHello(Datagram(hello), kAddress, resting[i].port);
    if (!resting[i].confirmed) {
      VoiceServer::Guard guard(*server_);
      server_->findUser(ids_[i])->setVoiceConfirmed(false);
    }
    const std::string reply =
        helloReply(std::string_view(reinterpret_cast<const char*>(hello), kDatagramSize));
    expectDelivery(i == kSpeaker ? sender_ : sink_, reply, "a resting hello was not answered");
  }
}
std::array<Voice, kUsers> DatagramBench::voices() {
  VoiceServer::Guard guard(*server_);
  std::array<Voice, kUsers> result;
  for (int i = 0; i < kUsers; ++i) {
    const UserSession* user = server_->findUser(ids_[i]);
    result[i] = {user->voiceAddress(), user->soundPort(), user->voiceConfirmed()};
  }
  return result;
}

std::array<Voice, kUsers> DatagramBench::expectedVoices(std::string_view datagram) const {
  std::array<Voice, kUsers> result = restingVoices();
  if (datagram.size() != kDatagramSize || byteAt(datagram, 0) != kVoiceHello) return result;
  for (int i = 0; i < kUsers; ++i) {
    if (ids_[i] == idAt(datagram)) {
      result[i] = {kAddress, sender_.port(), result[i].confirmed || byteAt(datagram, 1) <= 2};
    }
  }
  return result;
}

void DatagramBench::expectDelivery(LoopbackUdp& socket, const std::string& expected,
                                   const char* what) {
  if (!expected.empty()) {
    // Loopback delivery is immediate; the wait only guards against a slow machine.
    pollfd entry{socket.fd(), POLLIN, 0};
    ::poll(&entry, 1, kDeliveryPatienceMs);
  }
  std::string received;
  const bool any = socket.receive(received);
  if (any != !expected.empty() || received != expected) fail(what, received);
}

void DatagramBench::run(std::string_view datagram) {
  if (voices() != restingVoices()) reset();
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(datagram.data());
  if (!sender_.sendTo(socket_.localPort(), bytes, datagram.size()))
    fail("the datagram was not sent");
  pollfd entry{static_cast<int>(socket_.handle()), POLLIN, 0};
  if (::poll(&entry, 1, kDeliveryPatienceMs) != 1) fail("the datagram did not arrive");
  {
    // As the event loop calls handlers: with the pool lock held.
    std::lock_guard<std::recursive_mutex> pool(ReactorPool::instance().mutex());
    if (!socket_.handleInput()) fail("the voice socket gave up its registration");
  }
  if (voices() != expectedVoices(datagram))
    fail("the users' voice state changed wrongly", datagram);
  expectDelivery(sender_, expectedAtSender(datagram),
                 "the sender got another answer than the reply or its own voice");
  expectDelivery(sink_, expectedAtSink(datagram), "a listener got another datagram");
}

std::string DatagramBench::expectedAtSender(std::string_view datagram) const {
  if (datagram.size() == kDatagramSize && byteAt(datagram, 0) == kVoiceHello &&
      isUser(idAt(datagram))) {
    return helloReply(datagram);
  }
  return forwardedTo(datagram, kSpeaker);
}

std::string DatagramBench::expectedAtSink(std::string_view datagram) const {
  for (int i = 0; i < kListeners; ++i) {
    std::string forwarded = forwardedTo(datagram, i);
    if (!forwarded.empty()) return forwarded;
  }
  return std::string();
}

std::string DatagramBench::forwardedTo(std::string_view datagram, int slot) const {
  if (datagram.size() != kDatagramSize || byteAt(datagram, 0) != kVoiceToForward ||
      byteAt(datagram, 4) != ids_[slot]) {
    return std::string();
  }
  std::string forwarded(datagram);
  forwarded[0] = kVoiceForwarded;
  return forwarded;
}

}  // namespace
}  // namespace quorvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorvane::fuzz;
  if (size > kLargestDatagram) return 0;
  static DatagramBench bench;
  bench.run(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
