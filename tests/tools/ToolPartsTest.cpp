// The tools' parts on their own: the load run's stamps and choice of peers, the command lines of
// the client and the attack tool, the attack tool's reading of the kernel's socket table, the
// bench's tables and statistics.
// Guards against a soak run that misses a changed byte, an option read into the wrong setting or
// taken when it is bad, an attack tool that measures the wrong connections, and a bench that
// judges its targets wrongly.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>

#include "attack/AttackOptions.h"
#include "attack/ServerProbe.h"
#include "cli/CliOptions.h"
#include "client/ClientCommands.h"
#include "load/PeerDirectory.h"
#include "load/SoakPayload.h"
#include "protocol/MessageSyntax.h"
#include "suite/ResultTable.h"
#include "suite/Stats.h"

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
    EXPECT_TRUE(read.sender == 77 && read.sequence == sequence && read.recipient == 12 &&
                read.senderId == 300) << text;

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
}

TEST(AttackProbeTest, SendQueueCountsTheServersConnectionsOnly) {
  // Port 10300 is 283C; 10301 is 283D. The columns as /proc/net/tcp writes them.
  const std::string table =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid\n"
      "   0: 00000000:283C 00000000:0000 0A 00000000:00000005 00:00000000 00000000     0\n"
      "   1: 0100007F:283C 0200007F:9C40 01 00010000:00000000 01:00000014 00000000     0\n"
      "   2: 0100007F:283C 0300007F:9C41 01 000000FF:00000000 00:00000000 00000000     0\n"
      "   3: 0200007F:9C40 0100007F:283C 01 00000100:00002000 00:00000000 00000000     0\n"
      "   4: 0100007F:283D 0200007F:9C42 01 00001000:00000000 00:00000000 00000000     0\n"
      "   5: 0100007F:283C 0200007F:9C43 08 00000001:00000000 00:00000000 00000000     0\n";
  // The listener (0A) and the client ends (remote port 283C) and other ports are left out;
  // every other state of the server's end counts.
  EXPECT_EQ(probe::sendQueueOfTable(table, 10300), 0x10000u + 0xFFu + 1u);
  EXPECT_EQ(probe::sendQueueOfTable(table, 10301), 0x1000u);
  EXPECT_EQ(probe::sendQueueOfTable(table, 40000), 0x100u);
  EXPECT_EQ(probe::sendQueueOfTable("heading only\n", 10300), 0u);
}

// Reads `words` as a tool's command line.
template <typename Options>
bool parseWords(std::vector<std::string> words, Options& options, std::string& error) {
  words.insert(words.begin(), "tool");
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  return options.parse(static_cast<int>(argv.size()), argv.data(), error);
}

// Every one of the command lines is refused, with a reason.
template <typename Options>
void expectRefused(const std::vector<std::vector<std::string>>& commandLines) {
  for (const std::vector<std::string>& words : commandLines) {
    Options options;
    std::string error;
    EXPECT_FALSE(parseWords(words, options, error)) << words.back();
    EXPECT_FALSE(error.empty()) << words.back();
  }
}

// (What every option sets is seen in the client's runs in CliTest.)
TEST(CliOptionsTest, RefusesWhatItCannotUse) {
  expectRefused<CliOptions>({{"--port", "1"},
                             {"--nick", "x", "--frobnicate", "1"},
                             {"--nick", "x", "--port", "70000"},
                             {"--nick", "x", "--port", "1x"},
                             {"--nick", "x", "--timeout", "0"},
                             {"--nick", "x", "--ping-interval", "86401"},
                             {"--nick"}});
}

TEST(AttackOptionsTest, QuickSizesGiveWayToSizesGivenAndBadOnesAreRefused) {
  AttackOptions options;
  std::string error;
  ASSERT_TRUE(parseWords({"--listeners", "7", "--server", "program", "--quick"}, options, error))
      << error;
  EXPECT_TRUE(options.quick);
  EXPECT_EQ(options.listeners, 7u);
  EXPECT_LT(options.victimSeconds, AttackOptions().victimSeconds);
  EXPECT_EQ(options.serverProgram.front(), '/');
  expectRefused<AttackOptions>({{"--frobnicate", "1"},
                                {"--port", "10300"},
                                {"--server", "x", "--listeners", "251"},
                                {"--server", "x", "--flood-seconds", "soon"},
                                {"--server"}});
}

using Check = ResultTable::Check;

std::string printed(const ResultTable& table, int& passed, int& missed) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = ::open_memstream(&text, &size);
  table.print(out, passed, missed);
  std::fclose(out);
  std::string result(text, size);
  std::free(text);
  return result;
}

// The printed line of the row whose label is `label`, columns separated by single blanks.
std::string rowOf(const std::string& text, const std::string& label) {
  const std::size_t start = text.find("\n  " + label + " ");
  if (start == std::string::npos) return "";
  std::string row;
  for (std::size_t i = start + 3; i < text.size() && text[i] != '\n'; ++i) {
    if (text[i] != ' ' || row.back() != ' ') row += text[i];
  }
  return row;
}

TEST(BenchTableTest, JudgesTargetsOnMediansInTheirDirection) {
  ResultTable table("title", "base");
  table.add({"rate", "rate", "/s", 1, 0, Check::RatioAtLeast, 0.9});
  table.add({"cpu", "cpu", "us", 1e6, 1, Check::RatioAtMost, 1.2});
  table.add({"loss", "loss", "%", 100, 1, Check::AtMost, 1});
  table.add({"alone", "server only", "", 1, 0, Check::RatioAtLeast, 1});
  // One bad run must not decide: a mean rate would be 0.68x the baseline, the median is 0.95x.
  for (const double rate : {100.0, 95.0, 10.0}) {
    table.record(true, {{"rate", rate}, {"cpu", 13e-6}, {"loss", 0.02}, {"alone", 1}});
    table.record(false, {{"rate", 100}, {"cpu", 10e-6}, {"loss", 0.5}});
  }
  int passed = 0, missed = 0;
  const std::string text = printed(table, passed, missed);
  EXPECT_EQ(rowOf(text, "rate"), "rate 95 [10..100] /s 100 [100..100] /s 0.95x >= 0.90x PASS");
  EXPECT_EQ(rowOf(text, "cpu"),
            "cpu 13.0 [13.0..13.0] us 10.0 [10.0..10.0] us 1.30x <= 1.20x MISS");
  EXPECT_EQ(rowOf(text, "loss"), "loss 2.0 [2.0..2.0] % 50.0 [50.0..50.0] % 0.04x <= 1 % MISS");
  // A target on a ratio without a baseline figure cannot be met.
  EXPECT_EQ(rowOf(text, "server only"), "server only 1 [1..1] - - >= 1.00x n/a");
  EXPECT_EQ(passed, 1);
  EXPECT_EQ(missed, 3);
}

TEST(BenchTableTest, PercentilesAndSpreads) {
  std::vector<double> samples;
  for (int i = 100; i >= 1; --i) samples.push_back(i);
  EXPECT_EQ(percentile(samples, 0.99), 99);
  EXPECT_EQ(percentile({7}, 0.99), 7);
  EXPECT_EQ(percentile({}, 0.5), 0);
  const Spread even = spreadOf({4, 1, 3, 2});
  EXPECT_TRUE(even.median == 2.5 && even.min == 1 && even.max == 4);
}

}  // namespace
}  // namespace quorvane
