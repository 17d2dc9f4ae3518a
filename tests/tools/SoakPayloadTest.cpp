// The stamps of the load run's messages and voice: they survive the protocol unchanged, and a
// change to any byte is found. Also the choice of peers.
// Guards against a soak run that misses a changed byte.
#include <gtest/gtest.h>

#include <random>

#include "client/ClientCommands.h"
#include "load/PeerDirectory.h"
#include "load/SoakPayload.h"
#include "protocol/MessageSyntax.h"

namespace quorvane {
namespace {

TEST(SoakPayloadTest, MessageTextCrossesTheProtocolAndChangesAreFound) {
  for (std::uint32_t sequence = 1; sequence <= 200; ++sequence) {
    const SoakStamp stamp{77, sequence, 12, 300};
    const std::string text = SoakPayload::messageText(stamp);
    ASSERT_NE(text.back(), '\\') << "a trailing backslash would end the quoted value early";
    // What the receiver reads back: the line written by the builder and read by the parser.
    std::string received;
    ASSERT_TRUE(LineParams(messageToUserLine(5, text)).getStringParam("message", received));
    SoakStamp read;
    ASSERT_TRUE(SoakPayload::readMessageText(received, read)) << text;
    EXPECT_EQ(read.sender, 77u);
    EXPECT_EQ(read.sequence, sequence);
    EXPECT_EQ(read.recipient, 12u);
    EXPECT_EQ(read.senderId, 300);

    std::string changed = text;
    changed[sequence % changed.size()] ^= 0x20;
    EXPECT_FALSE(SoakPayload::readMessageText(changed, read)) << changed;
    EXPECT_FALSE(SoakPayload::readMessageText(text.substr(0, text.size() - 1), read));
  }
}

TEST(SoakPayloadTest, VoiceIsCheckedByteForByte) {
  const SoakStamp stamp{9, 1234, 10, 42};
  VoiceDatagram bytes = SoakPayload::voice(stamp, 200);
  EXPECT_EQ(bytes[0], kToForwardKind);
  EXPECT_EQ(bytes[4], 200);
  SoakStamp read;
  EXPECT_FALSE(SoakPayload::readVoice(bytes, read)) << "only forwarded datagrams are read";
  bytes[0] = kForwardedKind;
  ASSERT_TRUE(SoakPayload::readVoice(bytes, read));
  EXPECT_EQ(read.sequence, 1234u);
  EXPECT_EQ(read.senderId, 42);
  for (std::size_t at = 1; at < bytes.size(); ++at) {
    if (at == 4) continue;  // the recipient id, which the receiver compares with its own
    VoiceDatagram changed = bytes;
    changed[at] ^= 1;
    EXPECT_FALSE(SoakPayload::readVoice(changed, read)) << "byte " << at;
  }
}

TEST(PeerDirectoryTest, PicksOthersAndFindsTheSessionBehindAnId) {
  PeerDirectory peers;
  std::mt19937_64 random(1);
  PeerDirectory::Peer peer;
  peers.add({1, 100});
  EXPECT_FALSE(peers.pick(random, 100, peer)) << "nobody but itself";
  peers.add({300, 101});
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(peers.pick(random, 100, peer));
    EXPECT_EQ(peer.key, 101u);
  }
  ASSERT_TRUE(peers.find(1, peer));
  EXPECT_EQ(peer.key, 100u);
  EXPECT_FALSE(peers.find(2, peer));
  // The server gave id 1 to a new session before the old one noticed its end: the new one holds
  // it, also after the old one is removed.
  peers.add({1, 102});
  peers.remove(100);
  ASSERT_TRUE(peers.find(1, peer));
  EXPECT_EQ(peer.key, 102u);
  peers.remove(102);
  EXPECT_FALSE(peers.find(1, peer));
  ASSERT_TRUE(peers.pick(random, 100, peer));
  EXPECT_EQ(peer.key, 101u) << "the only one left";
  EXPECT_NE(peers.newSessionKey(), peers.newSessionKey());
}

}  // namespace
}  // namespace quorvane
