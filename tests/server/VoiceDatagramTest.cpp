// Voice datagrams against a running server: hello and its reply, forwarding, what is ignored, and
// the "forward" decision between two addresses. The absence of a datagram is shown by a later
// datagram that is answered: loopback delivers one sender's datagrams in order, and the server
// handles them in that order, so the answer would come second.
// Guards against a voice path taken over from another address, voice relayed to anyone, and
// datagrams of the wrong form acted on.
#include <algorithm>
#include <chrono>
#include <future>

#include "protocol/ProtocolFixture.h"

namespace quorvane::test {
namespace {

// The datagram is 150 bytes long and its first bytes are `head`.
bool startsWith(const std::optional<Bytes>& received, const Bytes& head) {
  return received && received->size() == 150 &&
         std::equal(head.begin(), head.end(), received->begin());
}

// What "whoami" answers before login.
std::string youAre(const TestClient& client) {
  return "youare id=" + std::to_string(client.id()) + " nick=\"\" address=\"" +
         seenAddress(client) + "\" soundport=" + std::to_string(client.voicePort()) +
         " bandmode=-1 framesize=-1 encodedframesize=-1";
}

// A kind-5 datagram naming `to`, with recognisable bytes everywhere else.
Bytes voiceFor(const TestClient& to) {
  Bytes voice = datagram({5, 9, 0xAB, 0xCD, static_cast<std::uint8_t>(to.id())});
  for (std::size_t i = 5; i < voice.size(); ++i) voice[i] = static_cast<std::uint8_t>(i * 7);
  return voice;
}

// What `voice` becomes on its way through the server.
Bytes forwarded(Bytes voice) {
  voice[0] = 4;
  return voice;
}

// No datagram reached `client` before the answer to a hello it sends now.
bool nothingBeforeHelloReply(TestClient& client) {
  client.sendHello(client.id());
  return startsWith(client.readDatagram(), {2, 2, static_cast<std::uint8_t>(client.id()), 0});
}

class VoiceDatagramTest : public ProtocolTest {
 protected:
  VoiceDatagramTest() : ProtocolTest(false) {}
};

TEST_F(VoiceDatagramTest, HelloIsAnsweredAndStoresTheSendersEndpoint) {
  TestClient& alice = connect();
  EXPECT_THAT(alice.request("whoami"),
              ElementsAre("youare id=1 nick=\"\" address=\"\" soundport=-1 bandmode=-1 "
                          "framesize=-1 encodedframesize=-1"));
  alice.sendHello(77);  // nobody has id 77: no answer
  alice.sendHello(alice.id());
  EXPECT_TRUE(startsWith(alice.readDatagram(), {2, 2, 1, 0}));
  EXPECT_THAT(alice.request("whoami"), ElementsAre(youAre(alice)));

  // Datagrams of the wrong size or kind from alice's address are not acted on.
  TestClient& other = connect();
  Bytes longHello = datagram({1, 2, 1, 0});
  longHello.push_back(0);
  other.sendDatagram(Bytes(longHello.begin(), longHello.end() - 2));
  other.sendDatagram(longHello);
  other.sendDatagram(datagram({3, 2, 1, 0}));
  EXPECT_TRUE(nothingBeforeHelloReply(other));
  EXPECT_THAT(alice.request("whoami"), ElementsAre(youAre(alice)));

  // The id travels in two bytes, low byte first.
  {
    VoiceServer::Guard guard(voiceServer());
    while (voiceServer().allocateUserId() < 299) {
    }
  }
  TestClient& big = connect("127.0.0.4");
  ASSERT_EQ(big.id(), 300);
  big.sendHello(300);
  EXPECT_TRUE(startsWith(big.readDatagram(), {2, 2, 44, 1}));
}

TEST_F(VoiceDatagramTest, UnconfirmingHelloStoresTheEndpointButConnectIsRefused) {
  TestClient& client = connect("127.0.0.1");
  client.sendLine("protocol version=\"2.1\"");
  const std::string connect =
      "connect nick=\"carl\" password=\"\" bandmode=1 framesize=320 encodedframesize=20 fpp=2";
  client.sendHello(client.id(), 3);
  EXPECT_TRUE(startsWith(client.readDatagram(), {2, 2, 1, 0}));
  EXPECT_THAT(client.request("whoami"), ElementsAre(youAre(client)));
  EXPECT_THAT(client.request(connect), ElementsAre("error number=403"));

  client.sendHello(client.id(), 2);
  EXPECT_TRUE(startsWith(client.readDatagram(), {2, 2, 1, 0}));
  EXPECT_EQ(client.request(connect), firstLoginLines(client, "carl"));
}

// Nobody takes over a user's voice: a hello naming someone else's id from another address is
// neither answered nor acted on, before login or after. The server forwards between members of
// one channel only, from their own confirmed endpoints: it is no open relay.
TEST_F(VoiceDatagramTest, VoiceGoesOnlyFromOwnEndpointsToMembersOfOneChannel) {
  if (!loopbackAddressesDistinct()) GTEST_SKIP() << kOneLoopbackAddress;
  TestClient& alice = member("alice", "127.0.0.2");
  TestClient& bob = member("bob", "127.0.0.4");
  TestClient& carol = member("carol", "127.0.0.6");
  TestClient& idle = connect("127.0.0.8");
  ASSERT_TRUE(idle.confirmVoice());
  TestClient& pending = connect("127.0.0.10");
  pending.sendLine("protocol version=\"2.1\"");

  TestClient& attacker = connect("127.0.0.9");
  for (const TestClient* victim : {&alice, &pending}) attacker.sendHello(victim->id());
  attacker.sendHello(77);
  EXPECT_TRUE(nothingBeforeHelloReply(attacker));
  EXPECT_THAT(alice.request("whoami"),
              ElementsAre("youare id=1 nick=\"alice\" address=\"127.0.0.2\" soundport=" +
                          std::to_string(alice.voicePort()) +
                          " bandmode=1 framesize=320 encodedframesize=20"));
  // The pending connection's voice path is still unconfirmed.
  EXPECT_THAT(pending.request("connect nick=\"p\" password=\"\" bandmode=1 framesize=1 "
                              "encodedframesize=1 fpp=1"),
              ElementsAre("error number=403"));

  // Between two members of the root, byte for byte, both ways.
  for (auto [from, to] : {std::pair{&alice, &bob}, std::pair{&bob, &alice}}) {
    const Bytes voice = voiceFor(*to);
    from->sendDatagram(voice);
    EXPECT_EQ(to->readDatagram(), forwarded(voice));
  }
  // Not from a socket that is nobody's endpoint, not from a user who has not logged in, not to
  // a user who has not logged in, not to another channel.
  carol.request(joinCommand("/else/"));
  TestClient& stranger = open("127.0.0.2");
  stranger.sendDatagram(voiceFor(bob));
  idle.sendDatagram(voiceFor(bob));
  alice.sendDatagram(voiceFor(idle));
  alice.sendDatagram(voiceFor(carol));
  carol.sendDatagram(voiceFor(bob));
  // Every datagram above has been handled.
  for (TestClient* c : {&alice, &bob, &carol, &idle, &attacker}) {
    EXPECT_TRUE(nothingBeforeHelloReply(*c));
  }
}

TEST_F(VoiceDatagramTest, ForwardingOffDropsVoice) {
  configure([](VoiceServer& s) { s.setAllowForwarding(false); });
  TestClient& alice = member("alice", "127.0.0.2");
  TestClient& bob = member("bob", "127.0.0.4");
  alice.sendDatagram(voiceFor(bob));
  // Alice's datagram reached the server before bob's hello: any forwarded copy would come first.
  EXPECT_TRUE(nothingBeforeHelloReply(alice));
  EXPECT_TRUE(nothingBeforeHelloReply(bob));
}

// With voice-address-check off, hello and forwarding follow the classic rules: any socket may
// move any user's endpoint, and voice reaches any known user. Locality still comes from the
// connection: a hello from 127.0.0.1 does not make a remote client the server's own.
TEST_F(VoiceDatagramTest, WithoutTheAddressCheckAnySocketMovesAndForwards) {
  if (!loopbackAddressesDistinct()) GTEST_SKIP() << kOneLoopbackAddress;
  configure([](VoiceServer& s) { s.setVoiceAddressCheck(false); });
  TestClient& alice = connect("127.0.0.2");
  TestClient& bob = connect("127.0.0.4");
  for (TestClient* client : {&alice, &bob}) ASSERT_TRUE(client->confirmVoice());

  // Neither is logged in: the recipient need only be known.
  Bytes voice = voiceFor(bob);
  alice.sendDatagram(voice);
  EXPECT_EQ(bob.readDatagram(), forwarded(voice));
  alice.sendDatagram(datagram({5, 2, 0, 0, 99}));
  EXPECT_TRUE(nothingBeforeHelloReply(alice));
  EXPECT_TRUE(nothingBeforeHelloReply(bob));

  // A hello from another socket moves the endpoint: the answer goes to the new one.
  TestClient& other = open("127.0.0.6");
  other.sendHello(alice.id());
  EXPECT_TRUE(startsWith(other.readDatagram(), {2, 2, 1, 0}));
  EXPECT_THAT(alice.request("whoami"),
              ElementsAre("youare id=1 nick=\"\" address=\"127.0.0.6\" soundport=" +
                          std::to_string(other.voicePort()) +
                          " bandmode=-1 framesize=-1 encodedframesize=-1"));

  // No operator status in the root, as a local user would get.
  bob.login("bob");
  TestClient& remote = open("127.0.0.1", "127.0.0.5");
  const Lines login = remote.login("remote");
  EXPECT_THAT(login, ElementsAre(acceptedLine(remote, "remote"), channelLine("addchannel", "/"),
                                 addUserLine(bob, "bob", "/", true)));
  EXPECT_THAT(remote.request("kick id=2 channel=\"/\""), ElementsAre("error number=303"));
}

TEST(VoiceForwardTest, ForwardFlagFollowsTheAddressMasks) {
  struct Case {
    const char* a;
    const char* b;
    bool forward;
  };
  const Case cases[] = {
      {"10.0.0.5", "81.2.3.4", true},     // exactly one looks private
      {"10.0.0.5", "10.0.0.6", false},    // both look private
      {"10.0.0.5", "", false},            // an unknown address never forwards
      {"127.0.0.1", "81.2.3.4", true},    // loopback on either side
      {"127.0.0.3", "127.0.0.2", true},   // any address with the loopback bits set
      {"127.0.0.2", "127.0.0.4", false},  // neither has bit 0 set
      {"8.8.8.8", "81.2.3.4", true},      // 8.8.8.8 fits the 10.255.255.255 mask
      {"172.20.0.1", "81.2.3.4", false},  // a bit outside 172.16.255.255
      {"192.168.0.7", "192.168.1.9", false},
  };
  for (const Case& c : cases) {
    const std::uint32_t a = UserRecord::addressNumber(c.a);
    const std::uint32_t b = UserRecord::addressNumber(c.b);
    EXPECT_EQ(VoiceServer::forwardBetween(a, b), c.forward) << c.a << " / " << c.b;
    EXPECT_EQ(VoiceServer::forwardBetween(b, a), c.forward) << c.b << " / " << c.a;
  }
  EXPECT_EQ(UserRecord::addressNumber("1.2.3.4"), 0x01020304u);
  for (const char* malformed : {"", "1234", "1.2.3", "1.2.3.4.5", "1.2.3.256", "a.b.c.d"}) {
    EXPECT_EQ(UserRecord::addressNumber(malformed), 0u) << malformed;
  }
}

// A relay on a voice socket of its own, with a client socket to send to it from and the user 7 at
// 127.0.0.1 in its directory; the hellos that count are noted.
class VoiceRelayTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(socket_.create(0, Socket::Datagram, "127.0.0.1"));
    ASSERT_TRUE(client_.create(0, Socket::Datagram, "127.0.0.1"));
    directory_.configure({});
    directory_.addUser(7, UserRecord::addressNumber("127.0.0.1"));
  }

  void send(const Bytes& sent) {
    ASSERT_EQ(client_.sendTo(sent.data(), static_cast<int>(sent.size()), socket_.localPort(),
                             "127.0.0.1"),
              static_cast<int>(sent.size()));
  }

  DatagramSocket socket_;
  Socket client_;
  VoiceDirectory directory_;
  ServerMetrics metrics_;
  std::vector<int> hellos_;
  VoiceRelay relay_{socket_, directory_,
                    [this](const VoiceRelay::Hello& hello) { hellos_.push_back(hello.id); },
                    metrics_};
};

// An event loop's help relays what waits on the voice socket as the voice thread would, in the
// order it came: a refused hello, a short datagram, then a hello that counts.
TEST_F(VoiceRelayTest, HelpRelaysWhatWaitsWithoutAVoiceThread) {
  for (const Bytes& sent : {datagram({1, 1, 8, 0}), Bytes(10, 1), datagram({1, 1, 7, 0})}) {
    send(sent);
  }
  EXPECT_TRUE(waitFor([&] {
    relay_.help();
    return metrics_.voiceReceived == 3;
  }));
  EXPECT_EQ(hellos_, std::vector<int>{7});
  EXPECT_EQ(metrics_.voiceDropped[ServerMetrics::HelloRefused].load(), 1u);
  EXPECT_EQ(metrics_.voiceDropped[ServerMetrics::Ignored].load(), 1u);
}

// A batch for two recipients, interleaved, reaches each of them whole and in its order: the relay
// sends each recipient's datagrams of a batch together, as one message where the kernel can.
TEST_F(VoiceRelayTest, EachRecipientGetsItsDatagramsWholeAndInOrder) {
  Socket receivers[2];
  const std::uint32_t loopback = UserRecord::addressNumber("127.0.0.1");
  const int channel = 0;
  directory_.setEndpoint(7, Endpoint::of("127.0.0.1", client_.localPort()));
  for (int k = 0; k < 2; ++k) {
    ASSERT_TRUE(receivers[k].create(0, Socket::Datagram, "127.0.0.1"));
    directory_.addUser(8 + k, loopback);
    directory_.setEndpoint(8 + k, Endpoint::of("127.0.0.1", receivers[k].localPort()));
  }
  for (int id : {7, 8, 9}) {
    directory_.setLoggedIn(id, true);
    directory_.setChannel(id, &channel);
  }
  constexpr int kEach = 20;
  for (int i = 0; i < 2 * kEach; ++i) {
    Bytes voice = datagram({5, 9, 0, 0, static_cast<std::uint8_t>(8 + i % 2)});
    voice[5] = static_cast<std::uint8_t>(i);
    send(voice);
  }
  ASSERT_TRUE(waitFor([&] {
    relay_.relayWaiting();
    return metrics_.voiceReceived == 2 * kEach;
  }));
  for (int k = 0; k < 2; ++k) {
    for (int i = k; i < 2 * kEach; i += 2) {
      const std::optional<Bytes> got = nextDatagram(receivers[k]);
      ASSERT_TRUE(got.has_value());
      ASSERT_EQ(got->size(), 150u);
      EXPECT_EQ((*got)[0], 4);
      EXPECT_EQ((*got)[4], 8 + k);
      EXPECT_EQ((*got)[5], i) << "recipient " << 8 + k;
    }
  }
}

// The voice thread relays everything both while no loop looks (it waits inside its receive,
// under the relaying lock) and while loops look now and then (it waits outside the lock), and a
// stop ends it in either wait: a thread that missed a datagram, or slept through its wake-up,
// fails here.
TEST_F(VoiceRelayTest, TheVoiceThreadRelaysWhetherOrNotTheLoopsLook) {
  relay_.start();
  send(datagram({1, 1, 7, 0}));
  ASSERT_TRUE(waitFor([&] { return metrics_.voiceReceived == 1; }));
  constexpr std::uint64_t kHelped = 50;
  for (std::uint64_t received = 2; received <= kHelped; ++received) {
    send(datagram({1, 1, 7, 0}));
    ASSERT_TRUE(waitFor([&] {
      relay_.help();
      return metrics_.voiceReceived == received;
    }));
  }
  auto stopped = std::async(std::launch::async, [&] { relay_.stop(); });
  if (stopped.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "the voice thread did not end";
    send(Bytes());  // lets it end after all
  }
  stopped.wait();
  EXPECT_EQ(hellos_, std::vector<int>(kHelped, 7));
}

// A stop right after the start ends the voice thread wherever the thread stands: one that took
// its own wake-up in a batch and then waited for more would never end, and neither would the
// server's stop.
TEST_F(VoiceRelayTest, AStopRightAfterTheStartEndsTheThread) {
  for (int round = 0; round < 3000; ++round) {
    relay_.start();
    auto stopped = std::async(std::launch::async, [&] { relay_.stop(); });
    if (stopped.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "the voice thread did not end in round " << round;
      send(Bytes());  // lets it end after all
      stopped.wait();
      return;
    }
  }
}

}  // namespace
}  // namespace quorvane::test
