// One UDP datagram of any size and content reaches the voice socket of a running server, whose
// voice thread forwards voice and passes on the hellos that count, which the server applies under
// the loop lock. The server has four logged-in users in the root channel, all connected from
// 127.0.0.1: three listeners whose voice address is a sink, and a speaker whose confirmed voice
// endpoint is the socket that sends the datagrams. Only a datagram of exactly 150 bytes may have
// effects, and only of kind 1 naming one of those users (its voice address, port and
// confirmation change, and the sender gets the reply) or kind 5 (the named user gets the datagram
// as kind 4: it comes from the speaker's endpoint).
//
// A fifth user, connected from 127.0.0.2 and not logged in, is the probe: after each datagram
// its own socket sends a hello for it, which counts. The voice thread takes datagrams in order and
// the server applies hellos in order, so once the probe has its reply, everything the datagram
// caused has happened; a hello naming the probe from 127.0.0.1 must not count.
#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "protocol/VoiceDatagram.h"
#include "server/UserSession.h"

namespace quorvane::fuzz {
namespace {

constexpr int kListeners = 3;
constexpr int kSpeaker = kListeners;
constexpr int kProbe = kSpeaker + 1;
constexpr int kUsers = kProbe + 1;
constexpr std::size_t kLargestDatagram = 2048;
// Loopback delivery is immediate; the wait only guards against a slow machine.
constexpr int kDeliveryPatienceMs = 10000;
// The timer never fires during a run, so nothing but the datagram changes the users.
constexpr int kQuietTimerMs = 24 * 3600 * 1000;
constexpr const char* kAddress = "127.0.0.1";
constexpr const char* kProbeAddress = "127.0.0.2";

int byteAt(std::string_view datagram, int i) { return static_cast<unsigned char>(datagram[i]); }
// The user id of a hello: bytes 2 and 3, little-endian.
int idAt(std::string_view datagram) { return byteAt(datagram, 2) + 256 * byteAt(datagram, 3); }

struct Voice {
  std::string address;
  int port;
  bool confirmed;
  bool operator==(const Voice&) const = default;
};

// A running server with users 1 to 5 on loopback TCP connections that its loops serve, the socket
// that sends the datagrams (the speaker's endpoint), the socket the listeners' voice address names
// before each run, and the probe's socket.
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
  // Connects a user from `address`; its id.
  int connectUser(const char* address);
  // Where each user's voice is between runs: the listeners at the sink, unconfirmed, the speaker
  // at the sender, confirmed, the probe at its own socket, confirmed.
  std::array<Voice, kUsers> restingVoices() const;
  // Puts every user back there through the server's own handling of a hello that counted, which
  // keeps the voice thread's directory right, and takes the replies.
  void reset();
  std::array<Voice, kUsers> voices();
  // One of the users a hello from 127.0.0.1 may name.
  bool isLocalUser(int id) const {
    return std::find(ids_.begin(), ids_.begin() + kProbe, id) != ids_.begin() + kProbe;
  }
  std::array<Voice, kUsers> expectedVoices(std::string_view datagram) const;
  // What the sender must get (the reply to a hello, or voice forwarded to the speaker) and what
  // the sink must get (voice forwarded to a listener).
  std::string expectedAtSender(std::string_view datagram) const;
  std::string expectedAtSink(std::string_view datagram) const;
  // The forwarded datagram when it goes to user `slot`, or none.
  std::string forwardedTo(std::string_view datagram, int slot) const;
  // The datagram `socket` must now hold, or none.
  static void expectDelivery(LoopbackUdp& socket, const std::string& expected, const char* what);

  ReactorPool pool_;
  std::unique_ptr<VoiceServer> server_;
  std::vector<int> peers_;
  LoopbackUdp sender_;
  LoopbackUdp sink_;
  LoopbackUdp prober_{kProbeAddress};
  std::array<int, kUsers> ids_{};
};

std::string helloReply(int id) {
  std::string reply(kDatagramSize, '\0');
  makeHelloReply(reinterpret_cast<std::uint8_t*>(reply.data()), id);
  return reply;
}

DatagramBench::DatagramBench()
    : server_(startOnFreePorts(pool_, [](VoiceServer& server) {
        server.setClock([] { return std::time_t{1000000}; });
        server.setTimerPeriod(kQuietTimerMs);
        // The voice limit follows the real clock, which the expectations cannot; so does the
        // login deadline, which would drop the probe (never logged in) after a minute.
        ServerLimits limits;
        limits.voiceLimit = 0;
        limits.loginTimeout = 0;
        server.setLimits(limits);
      })) {
  for (int i = 0; i < kUsers; ++i) ids_[i] = connectUser(i == kProbe ? kProbeAddress : kAddress);
  reset();
  VoiceServer::Guard guard(*server_);
  for (int i = 0; i < kProbe; ++i) server_->login(server_->findUser(ids_[i]));
}

int DatagramBench::connectUser(const char* address) {
  int serverEnd = -1, peer = -1;
  makeTcpPair(address, serverEnd, peer);
  peers_.push_back(peer);
  VoiceServer::Guard guard(*server_);
  UserSession* user = server_->addConnection(std::make_unique<AdoptedConnection>(pool_, serverEnd));
  if (user == nullptr) fail("the server refused a loopback connection");
  return user->id();
}

std::array<Voice, kUsers> DatagramBench::restingVoices() const {
  std::array<Voice, kUsers> result;
  result.fill({kAddress, sink_.port(), false});
  result[kSpeaker] = {kAddress, sender_.port(), true};
  result[kProbe] = {kProbeAddress, prober_.port(), true};
  return result;
}

void DatagramBench::reset() {
  const std::array<Voice, kUsers> resting = restingVoices();
  // The speaker last: a listener's hello may have taken the sender's endpoint over.
  for (int i : {0, 1, 2, kProbe, kSpeaker}) {
    {
      VoiceServer::Guard guard(*server_);
      const Voice& voice = resting[i];
      server_->applyHello({ids_[i], Endpoint::of(voice.address, voice.port), voice.confirmed});
      if (!voice.confirmed) server_->findUser(ids_[i])->setVoiceConfirmed(false);
    }
    LoopbackUdp& socket = i == kProbe ? prober_ : i == kSpeaker ? sender_ : sink_;
    expectDelivery(socket, helloReply(ids_[i]), "a resting hello was not answered");
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
  // Not the probe's: a hello from another address than its connection's does not count.
  for (int i = 0; i < kProbe; ++i) {
    if (ids_[i] == idAt(datagram)) {
      result[i] = {kAddress, sender_.port(), result[i].confirmed || byteAt(datagram, 1) <= 2};
    }
  }
  return result;
}

void DatagramBench::expectDelivery(LoopbackUdp& socket, const std::string& expected,
                                   const char* what) {
  if (!expected.empty()) socket.waitReadable(kDeliveryPatienceMs);
  std::string received;
  const bool any = socket.receive(received);
  if (any != !expected.empty() || received != expected) fail(what, received);
}

void DatagramBench::run(std::string_view datagram) {
  if (voices() != restingVoices()) reset();
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(datagram.data());
  const std::uint8_t probe[kDatagramSize] = {kVoiceHello, 0,
                                             static_cast<std::uint8_t>(ids_[kProbe] & 0xFF),
                                             static_cast<std::uint8_t>(ids_[kProbe] >> 8)};
  if (!sender_.sendTo(server_->soundPort(), bytes, datagram.size()) ||
      !prober_.sendTo(server_->soundPort(), probe, kDatagramSize)) {
    fail("the datagram was not sent");
  }
  expectDelivery(prober_, helloReply(ids_[kProbe]), "the probe's hello was not answered");
  if (voices() != expectedVoices(datagram)) {
    fail("the users' voice state changed wrongly", datagram);
  }
  expectDelivery(sender_, expectedAtSender(datagram),
                 "the sender got another answer than the reply or its own voice");
  expectDelivery(sink_, expectedAtSink(datagram), "a listener got another datagram");
  expectDelivery(prober_, std::string(), "the probe got more than its reply");
}

std::string DatagramBench::expectedAtSender(std::string_view datagram) const {
  if (datagram.size() == kDatagramSize && byteAt(datagram, 0) == kVoiceHello &&
      isLocalUser(idAt(datagram))) {
    return helloReply(idAt(datagram));
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
