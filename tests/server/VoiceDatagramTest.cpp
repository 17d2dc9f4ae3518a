// Voice datagrams against a running server: hello and its reply, forwarding, what is ignored, and
// the "forward" decision between two addresses. The absence of a datagram is shown by a later
// datagram that is answered: loopback delivers one sender's datagrams in order, and the server
// handles them in that order, so the answer would come second.
// Guards against a voice path taken over from another address, voice relayed to anyone, and
// datagrams of the wrong form acted on.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/ServerTestSupport.h"
#include "support/TestServer.h"

namespace quorvane::test {
namespace {

// The datagram is 150 bytes long and its first bytes are `head`.
testing::AssertionResult startsWith(const std::optional<Bytes>& received, const Bytes& head) {
  if (!received) return testing::AssertionFailure() << "no datagram";
  if (received->size() != 150) {
    return testing::AssertionFailure() << "datagram of " << received->size() << " bytes";
  }
  if (!std::equal(head.begin(), head.end(), received->begin())) {
    return testing::AssertionFailure()
           << "datagram starts " << int((*received)[0]) << "," << int((*received)[1]) << ","
           << int((*received)[2]) << "," << int((*received)[3]);
  }
  return testing::AssertionSuccess();
}

std::string youAre(const TestClient& client) {
  return "youare id=" + std::to_string(client.id()) + " nick=\"\" address=\"" +
         seenAddress(client) + "\" soundport=" + std::to_string(client.voicePort()) +
         " bandmode=-1 framesize=-1 encodedframesize=-1";
}

TEST(VoiceDatagramTest, HelloIsAnsweredAndStoresTheSendersEndpoint) {
  TestServer server;
  ASSERT_TRUE(server.started());
  TestClient alice(server.hostPort(), server.soundPort(), "127.0.0.2");
  alice.readWelcome();
  alice.sendLine("whoami");
  EXPECT_EQ(alice.nextLine(),
            "youare id=1 nick=\"\" address=\"\" soundport=-1 bandmode=-1 framesize=-1 "
            "encodedframesize=-1");

  alice.sendHello(77);  // nobody has id 77: no answer
  alice.sendHello(alice.id());
  EXPECT_TRUE(startsWith(alice.readDatagram(), {2, 2, 1, 0}));
  alice.sendLine("whoami");
  EXPECT_EQ(alice.nextLine(), youAre(alice));

  // The id travels in two bytes, low byte first.
  {
    VoiceServer::Guard guard(server.server());
    while (server.server().allocateUserId() < 299) {
    }
  }
  TestClient big(server.hostPort(), server.soundPort(), "127.0.0.4");
  big.readWelcome();
  ASSERT_EQ(big.id(), 300);
  big.sendHello(300);
  EXPECT_TRUE(startsWith(big.readDatagram(), {2, 2, 44, 1}));
}

TEST(VoiceDatagramTest, UnconfirmingHelloStoresTheEndpointButConnectIsRefused) {
  TestServer server;
  ASSERT_TRUE(server.started());
  TestClient client(server.hostPort(), server.soundPort(), "127.0.0.2");
  client.readWelcome();
  client.sendLine("protocol version=\"2.1\"");
  const std::string connect =
      "connect nick=\"carl\" password=\"\" bandmode=1 framesize=320 encodedframesize=20 fpp=2";

  client.sendHello(client.id(), 3);
  EXPECT_TRUE(startsWith(client.readDatagram(), {2, 2, 1, 0}));
  client.sendLine("whoami");
  EXPECT_EQ(client.nextLine(), youAre(client));
  client.sendLine(connect);
  EXPECT_EQ(client.linesBeforePong(), Lines{"error number=403"});

  client.sendHello(client.id(), 2);
  EXPECT_TRUE(startsWith(client.readDatagram(), {2, 2, 1, 0}));
  client.sendLine(connect);
  EXPECT_EQ(client.linesBeforePong(), firstLoginLines(client, "carl"));
}

TEST(VoiceDatagramTest, WrongSizesAndKindThreeAreIgnored) {
  TestServer server;
  ASSERT_TRUE(server.started());
  TestClient alice(server.hostPort(), server.soundPort(), "127.0.0.2");
  alice.readWelcome();
  alice.sendHello(alice.id());
  ASSERT_TRUE(startsWith(alice.readDatagram(), {2, 2, 1, 0}));

  // From alice's own address, datagrams the server must not act on.
  TestClient other(server.hostPort(), server.soundPort(), "127.0.0.2");
  other.readWelcome();
  Bytes shortHello = datagram({1, 2, 1, 0});
  shortHello.pop_back();
  Bytes longHello = datagram({1, 2, 1, 0});
  longHello.push_back(0);
  other.sendDatagram(shortHello);
  other.sendDatagram(longHello);
  other.sendDatagram(datagram({3, 2, 1, 0}));
  other.sendHello(other.id());
  EXPECT_TRUE(startsWith(other.readDatagram(), {2, 2, 2, 0}));
  alice.sendLine("whoami");
  EXPECT_EQ(alice.nextLine(), youAre(alice));
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
testing::AssertionResult nothingBeforeHelloReply(TestClient& client) {
  client.sendHello(client.id());
  return startsWith(client.readDatagram(),
                    {2, 2, static_cast<std::uint8_t>(client.id()), 0});
}

// Nobody takes over a user's voice: a hello naming someone else's id from another address is
// neither answered nor acted on, before login or after.
TEST(VoiceDatagramTest, HelloFromAnotherAddressChangesNothing) {
  if (!loopbackAddressesDistinct()) GTEST_SKIP() << kOneLoopbackAddress;
  TestServer server;
  ASSERT_TRUE(server.started());
  TestClient alice(server.hostPort(), server.soundPort(), "127.0.0.2");
  TestClient bob(server.hostPort(), server.soundPort(), "127.0.0.4");
  TestClient pending(server.hostPort(), server.soundPort(), "127.0.0.6");
  alice.login("alice");
  bob.login("bob");
  alice.linesBeforePong();
  pending.readWelcome();
  pending.sendLine("protocol version=\"2.1\"");

  TestClient attacker(server.hostPort(), server.soundPort(), "127.0.0.9");
  attacker.readWelcome();
  for (const TestClient* victim : {&alice, &pending}) attacker.sendHello(victim->id());
  attacker.sendHello(77);
  EXPECT_TRUE(nothingBeforeHelloReply(attacker));
  alice.sendLine("whoami");
  EXPECT_EQ(alice.nextLine(), "youare id=1 nick=\"alice\" address=\"127.0.0.2\" soundport=" +
                                  std::to_string(alice.voicePort()) +
                                  " bandmode=1 framesize=320 encodedframesize=20");
  // The pending connection's voice path is still unconfirmed.
  pending.sendLine("connect nick=\"p\" password=\"\" bandmode=1 framesize=1 "
                   "encodedframesize=1 fpp=1");
  EXPECT_EQ(pending.linesBeforePong(), Lines{"error number=403"});

  // Bob's voice still reaches alice, and only alice.
  const Bytes voice = voiceFor(alice);
  bob.sendDatagram(voice);
  EXPECT_EQ(alice.readDatagram(), forwarded(voice));
  EXPECT_TRUE(nothingBeforeHelloReply(attacker));
}

// The server forwards between members of one channel only, from their own confirmed endpoints:
// it is no open relay.
TEST(VoiceDatagramTest, ForwardingOnlyBetweenMembersOfOneChannel) {
  if (!loopbackAddressesDistinct()) GTEST_SKIP() << kOneLoopbackAddress;
  TestServer server;
  ASSERT_TRUE(server.started());
  TestClient alice(server.hostPort(), server.soundPort(), "127.0.0.2");
  TestClient bob(server.hostPort(), server.soundPort(), "127.0.0.4");
  TestClient carol(server.hostPort(), server.soundPort(), "127.0.0.6");
  TestClient idle(server.hostPort(), server.soundPort(), "127.0.0.8");
  for (TestClient* member : {&alice, &bob, &carol}) member->login(member->voiceAddress());
  idle.readWelcome();
  ASSERT_TRUE(idle.confirmVoice());
  carol.sendLine(joinCommand("/else/"));
  carol.linesBeforePong();

  // Between two members of the root, byte for byte, both ways.
  Bytes voice = voiceFor(bob);
  alice.sendDatagram(voice);
  EXPECT_EQ(bob.readDatagram(), forwarded(voice));
  voice = voiceFor(alice);
  bob.sendDatagram(voice);
  EXPECT_EQ(alice.readDatagram(), forwarded(voice));

  // Not from a socket that is nobody's endpoint, not from a user who has not logged in, not to
  // a user who has not logged in, not to another channel.
  TestClient stranger(server.hostPort(), server.soundPort(), "127.0.0.2");
  stranger.sendDatagram(voiceFor(bob));
  idle.sendDatagram(voiceFor(bob));
  alice.sendDatagram(voiceFor(idle));
  alice.sendDatagram(voiceFor(carol));
  carol.sendDatagram(voiceFor(bob));
  EXPECT_TRUE(nothingBeforeHelloReply(alice));  // every datagram above has been handled
  EXPECT_TRUE(nothingBeforeHelloReply(bob));
  EXPECT_TRUE(nothingBeforeHelloReply(carol));
  EXPECT_TRUE(nothingBeforeHelloReply(idle));
}

// With voice-address-check off, hello and forwarding follow the classic rules: any socket may
// move any user's endpoint, and voice reaches any known user.
TEST(VoiceDatagramTest, WithoutTheAddressCheckAnySocketMovesAndForwards) {
  TestServer server([](VoiceServer& s) { s.setVoiceAddressCheck(false); });
  ASSERT_TRUE(server.started());
  TestClient alice(server.hostPort(), server.soundPort(), "127.0.0.2");
  TestClient bob(server.hostPort(), server.soundPort(), "127.0.0.4");
  for (TestClient* client : {&alice, &bob}) {
    client->readWelcome();
    client->sendHello(client->id());
    ASSERT_TRUE(client->readDatagram().has_value());
  }

  // Neither is logged in: the recipient need only be known.
  Bytes voice = voiceFor(bob);
  alice.sendDatagram(voice);
  EXPECT_EQ(bob.readDatagram(), forwarded(voice));
  alice.sendDatagram(datagram({5, 2, 0, 0, 99}));
  EXPECT_TRUE(nothingBeforeHelloReply(alice));
  EXPECT_TRUE(nothingBeforeHelloReply(bob));

  // A hello from another socket moves the endpoint: the answer goes to the new one.
  TestClient other(server.hostPort(), server.soundPort(), "127.0.0.6");
  other.sendHello(alice.id());
  EXPECT_TRUE(startsWith(other.readDatagram(), {2, 2, 1, 0}));
  alice.sendLine("whoami");
  EXPECT_EQ(alice.nextLine(), "youare id=1 nick=\"\" address=\"" + seenAddress(other) +
                                  "\" soundport=" + std::to_string(other.voicePort()) +
                                  " bandmode=-1 framesize=-1 encodedframesize=-1");
}

TEST(VoiceDatagramTest, ForwardingOffDropsVoice) {
  TestServer server([](VoiceServer& s) { s.setAllowForwarding(false); });
  ASSERT_TRUE(server.started());
  TestClient alice(server.hostPort(), server.soundPort(), "127.0.0.2");
  TestClient bob(server.hostPort(), server.soundPort(), "127.0.0.4");
  alice.login("alice");
  bob.login("bob");
  alice.sendDatagram(voiceFor(bob));
  // Alice's datagram reached the server before bob's hello: any forwarded copy would come first.
  EXPECT_TRUE(nothingBeforeHelloReply(alice));
  EXPECT_TRUE(nothingBeforeHelloReply(bob));
}

TEST(VoiceDatagramTest, ForwardFlagFollowsTheAddressMasks) {
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

}  // namespace
}  // namespace quorvane::test
