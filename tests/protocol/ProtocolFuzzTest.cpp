// Many connections at once send random, mutated and valid lines, and random datagrams: the server
// stays up and answers, every line any client receives is one the server may write, and a fresh
// client still logs in normally afterwards. The seed is fixed, so a failure repeats.
#include <random>

#include "client/ServerLine.h"
#include "protocol/ProtocolFixture.h"

namespace quorvane::test {
namespace {

constexpr int kConnections = 16;
constexpr int kRounds = 20;
constexpr int kLinesPerRound = 100;
constexpr int kDatagramsPerRound = 4;
constexpr std::size_t kLineLimit = 2048;

// True when the server may write the line: a known word and exactly its fields, in their forms.
bool wellFormed(std::string_view line) { return ServerLine(std::string(line)).checkForm(); }

// The command word the server will see in one sent line (CR LF included), lower-cased; empty
// when the line is too short to be dispatched.
std::string dispatchedWord(std::string_view sent) {
  sent = sent.substr(0, sent.find('\0'));
  if (sent.size() < 2) return "";
  if (sent.ends_with("\r\n")) sent.remove_suffix(2);
  std::string word(sent.substr(0, sent.find(' ')));
  for (char& c : word) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return word.empty() ? "-" : word;
}

class LineFuzzer {
 public:
  explicit LineFuzzer(std::uint32_t seed) : random_(seed) {}

  int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
  std::uint8_t byte() { return static_cast<std::uint8_t>(below(256)); }
  // Any byte but a line feed, which would cut the line in two.
  char lineByte() {
    const std::uint8_t b = byte();
    return static_cast<char>(b == '\n' ? 'n' : b);
  }

  // The user ids that "to", "id" and datagrams mostly name.
  void setIds(std::vector<int> ids) { ids_ = std::move(ids); }

  // One line without its terminator.
  std::string line() {
    switch (below(10)) {
      case 0: return randomBytes(below(40));
      case 1: case 2: return mutate(command());
      default: return command();
    }
  }

  // A datagram for the sound port: mostly 150 bytes, naming a live user or nobody that exists.
  Bytes datagram() {
    Bytes bytes(below(4) == 0 ? static_cast<std::size_t>(1 + below(300)) : 150);
    for (auto& b : bytes) b = byte();
    if (bytes.size() >= 5) {
      bytes[0] = static_cast<std::uint8_t>(below(7));
      const int size = static_cast<int>(ids_.size());
      const int id = size != 0 && below(2) == 0 ? ids_[below(size)] : 0x7F00 + below(256);
      bytes[2] = static_cast<std::uint8_t>(id & 0xFF);
      bytes[3] = static_cast<std::uint8_t>(id >> 8);
      bytes[4] = static_cast<std::uint8_t>(below(40));
    }
    return bytes;
  }

 private:
  std::string randomBytes(int n) {
    std::string text;
    for (int i = 0; i < n; ++i) text += lineByte();
    return text;
  }

  // Each command's own keys, and keys it does not know.
  struct Command {
    const char* word;
    std::vector<const char*> keys;
  };

  static const std::vector<Command>& commands() {
    static const std::vector<Command> all = {
        {"protocol", {"version"}},
        {"connect", {"nick", "password", "bandmode", "framesize", "encodedframesize", "fpp"}},
        {"changenick", {"nick"}},
        {"ping", {}},
        {"join", {"channel", "password", "topic"}},
        {"pwc", {}},
        {"whoami", {}},
        {"changestatus", {"statusmode", "statusmessage"}},
        {"message", {"to", "message", "type", "channel"}},
        {"kick", {"id", "channel"}},
        {"admin", {"username", "password"}},
        {"hello", {"Nick", ""}},
        {"", {"nick"}},
        {"quit", {}},
    };
    return all;
  }

  std::string text() {
    static const char* const kTexts[] = {"\"\"", "\"q\\\"uote\"", "\"cr\\r\\nlf\"", "tail\\",
                                         "\"\\\"", "\"open", "[1,2]", "[", "bare"};
    if (below(3) == 0) return '"' + randomBytes(below(12)) + '"';
    return kTexts[below(sizeof kTexts / sizeof *kTexts)];
  }

  std::string value(std::string_view key) {
    static const char* const kPaths[] = {"\"/\"", "\"/a/\"", "\"/a/b/\"", "//a", "\"/x\\/y/\"",
                                         "\"\"", "\"/b/\"", "\"/nope/c/\""};
    static const char* const kNumbers[] = {"-1", "-", "+5", "99999999999", "\"12\"", "1.5", "x"};
    if (below(10) == 0) return text();
    if (key == "channel") return kPaths[below(sizeof kPaths / sizeof *kPaths)];
    if (key == "version") return below(2) == 0 ? "\"2.1\"" : "\"2.0\"";
    if (key == "password") return below(5) == 0 ? "\"pw\"" : "\"\"";
    if (key == "type") return std::to_string(1 + below(3));
    if (key == "to" || key == "id") {
      const int size = static_cast<int>(ids_.size());
      return std::to_string(size == 0 || below(4) == 0 ? below(100) : ids_[below(size)]);
    }
    if (key.ends_with("size") || key.ends_with("mode") || key == "fpp") {
      return below(4) == 0 ? kNumbers[below(sizeof kNumbers / sizeof *kNumbers)]
                           : std::to_string(below(400));
    }
    return text();
  }

  // A command with most of its own keys, in any letter case, sometimes with a stranger key.
  std::string command() {
    // "quit" is rare, so sessions live long enough to matter.
    const Command& command = commands()[below(4000) == 0 ? 13 : below(13)];
    std::string line = command.word;
    for (char& c : line) {
      if (below(8) == 0) c = static_cast<char>(c - 'a' + 'A');
    }
    std::vector<std::string> keys(command.keys.begin(), command.keys.end());
    if (below(5) == 0) keys.push_back(below(2) == 0 ? "Nick" : "to");
    for (const std::string& key : keys) {
      if (below(12) == 0) continue;
      line += below(10) == 0 ? "  " : " ";
      line += key;
      line += below(10) == 0 ? " = " : "=";
      line += value(key);
    }
    return line;
  }

  std::string mutate(std::string line) {
    for (int n = 1 + below(3); n > 0; --n) {
      const std::size_t at = line.empty() ? 0 : static_cast<std::size_t>(below(
                                                    static_cast<int>(line.size())));
      switch (below(4)) {
        case 0: if (!line.empty()) line[at] = lineByte(); break;
        case 1: line.insert(line.begin() + static_cast<std::ptrdiff_t>(at), lineByte()); break;
        case 2: if (!line.empty()) line.erase(at, 1); break;
        default: line.resize(at); break;
      }
    }
    return line;
  }

  std::mt19937 random_;
  std::vector<int> ids_;
};

class ProtocolFuzzTest : public ProtocolTest {
 protected:
  ProtocolFuzzTest() : ProtocolTest(false) {
    // The lines come as fast as the clients can send them: the rate limits would only slow the
    // test down (they have tests of their own).
    configure([](VoiceServer& s) {
      ServerLimits limits;
      limits.commandLimit = limits.messageLimit = limits.addressMessageLimit = 0;
      limits.addressLoginLimit = 0;
      s.setLimits(limits);
    });
  }

  // A fuzzing client: logged in from its slot's address with a random version.
  std::unique_ptr<TestClient> enter(int slot) {
    static const char* const kVersions[] = {"2.1", "2.0", "3.0", "."};
    // Two local clients are operators and may kick.
    const std::string address = slot < 2 ? "127.0.0.1" : "127.0.0." + std::to_string(2 * slot);
    auto client = std::make_unique<TestClient>(server().hostPort(), server().soundPort(), address);
    EXPECT_TRUE(wellFormed(client->readWelcome()));
    for (const std::string& line : client->login("fuzz" + std::to_string(slot),
                                                 kVersions[fuzzer_.below(4)])) {
      EXPECT_TRUE(wellFormed(line)) << line;
    }
    return client;
  }

  // What a sent batch asks of the server.
  struct Batch {
    int pongs = 1;
    bool mayClose = false;
  };

  // Sends a batch of lines and a closing "ping".
  Batch send(TestClient& client) {
    Batch batch;
    std::string bytes;
    for (int i = 0; i < kLinesPerRound; ++i) {
      std::string line = fuzzer_.below(8000) == 0 ? std::string(kLineLimit + 10, 'x')
                                                  : fuzzer_.line();
      line += "\r\n";
      const std::string word = dispatchedWord(line);
      batch.pongs += word == "ping" ? 1 : 0;
      batch.mayClose = batch.mayClose || word == "quit" || line.size() > kLineLimit;
      bytes += line;
    }
    client.sendRaw(bytes + "ping\r\n");
    return batch;
  }

  // Reads up to the batch's last pong. False when the server closed the connection, which the
  // batch or a kick must then have asked for.
  bool receive(TestClient& client, const Batch& batch, int slot) {
    bool kicked = false;
    for (int seen = 0; seen < batch.pongs;) {
      std::optional<std::string> line = client.readLine();
      if (!line) {
        EXPECT_TRUE(batch.mayClose || kicked) << "slot " << slot << " lost its connection";
        EXPECT_TRUE(client.waitClosed()) << "slot " << slot << " hangs";
        return false;
      }
      EXPECT_TRUE(wellFormed(*line)) << "slot " << slot << ": " << *line;
      seen += *line == "pong" ? 1 : 0;
      kicked = kicked || *line == "kicked";
    }
    return true;
  }

  LineFuzzer fuzzer_{20240611};
};

TEST_F(ProtocolFuzzTest, ServerSurvivesGarbageAndKeepsStreamsClean) {
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int slot = 0; slot < kConnections; ++slot) clients.push_back(enter(slot));

  int reconnects = 0;
  for (int round = 0; round < kRounds && !HasFailure(); ++round) {
    std::vector<int> ids;
    for (const auto& client : clients) ids.push_back(client->id());
    fuzzer_.setIds(ids);
    for (auto& client : clients) {
      for (int d = 0; d < kDatagramsPerRound; ++d) client->sendDatagram(fuzzer_.datagram());
    }
    // All batches first, so the server works on every connection at once.
    std::vector<Batch> batches;
    for (auto& client : clients) batches.push_back(send(*client));
    for (int slot = 0; slot < kConnections; ++slot) {
      if (!receive(*clients[slot], batches[slot], slot)) {
        clients[slot] = enter(slot);
        ++reconnects;
      }
    }
  }
  RecordProperty("reconnects", reconnects);

  // Everybody still gets answers, and a newcomer logs in as on a fresh server.
  for (int slot = 0; slot < kConnections; ++slot) {
    clients[slot]->sendLine("ping");
    receive(*clients[slot], Batch{}, slot);
  }
  TestClient fresh(server().hostPort(), server().soundPort(), "127.0.0.1");
  fresh.readWelcome();
  Lines lines = fresh.login("fresh");
  ASSERT_GE(lines.size(), 2u);
  EXPECT_THAT(lines[0], ::testing::StartsWith("accepted id=" + std::to_string(fresh.id()) +
                                              " nick=\"fresh\" address=\"127.0.0.1\""));
  EXPECT_THAT(lines[1], ::testing::StartsWith("addchannel channel=\"/\" "));
  for (const std::string& line : lines) EXPECT_TRUE(wellFormed(line)) << line;
  EXPECT_THAT(fresh.request("pwc"), ElementsAre("pwc  channel=\"/\""));
}

}  // namespace
}  // namespace quorvane::test
