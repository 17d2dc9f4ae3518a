// The status endpoint against a running server: the metrics read by a strict reader of the
// exposition format and counted exactly, the status document against what logged-in clients
// were told, its escaping and caching, the routes, and hostile HTTP clients cut off while voice
// and control go on.
#include "service/StatusEndpoint.h"

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "client/ServerLine.h"
#include "support/ServerTestSupport.h"
#include "service/StatusJson.h"
#include "support/HttpProbe.h"
#include "support/TestServer.h"

namespace quorvane::test {
namespace {

using namespace std::chrono_literals;

// The samples of a metrics text ("name{labels}" to value), or why the text is not in the
// exposition format: every family has # HELP then # TYPE (counter or gauge) before its samples,
// names and labels are well formed, nothing appears twice, counters are whole and end in _total.
struct Exposition {
  std::map<std::string, double> samples;
  std::string error;
};

bool isName(const std::string& name, bool metric) {
  if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) return false;
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && !(metric && c == ':')) {
      return false;
    }
  }
  return true;
}

// name="value",... with the value's escapes (\\, \", \n); false when malformed or repeated.
bool readLabels(const std::string& text, std::string& problem) {
  std::set<std::string> seen;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t equals = text.find('=', at);
    if (equals == std::string::npos || equals + 1 >= text.size() || text[equals + 1] != '"') {
      return problem = "label without =\"", false;
    }
    const std::string name = text.substr(at, equals - at);
    if (!isName(name, false) || !seen.insert(name).second) return problem = "label " + name, false;
    std::size_t i = equals + 2;
    for (; i < text.size() && text[i] != '"'; ++i) {
      if (text[i] == '\\' && (++i >= text.size() || std::string("\\\"n").find(text[i]) == std::string::npos)) {
        return problem = "bad escape", false;
      }
    }
    if (i >= text.size()) return problem = "open label value", false;
    at = i + 1;
    if (at < text.size() && text[at++] != ',') return problem = "label separator", false;
  }
  return true;
}

Exposition readExposition(const std::string& text) {
  Exposition result;
  std::set<std::string> families;
  std::string family, type, help;
  std::size_t familySamples = 1;
  auto fail = [&](const std::string& why, const std::string& line) {
    result.error = why + ": " + line;
    return result;
  };
  if (text.empty() || text.back() != '\n') return fail("no final line feed", "");
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.rfind("# HELP ", 0) == 0) {
      if (familySamples == 0) return fail("family without samples", family);
      const std::size_t blank = line.find(' ', 7);
      family = line.substr(7, blank - 7);
      help = blank == std::string::npos ? "" : line.substr(blank + 1);
      if (!isName(family, true) || family.rfind("quorvane_", 0) != 0) return fail("name", line);
      if (help.empty()) return fail("empty help", line);
      if (!families.insert(family).second) return fail("family twice", line);
      type.clear();
      familySamples = 0;
    } else if (line.rfind("# TYPE ", 0) == 0) {
      if (!type.empty() || line != "# TYPE " + family + " " + line.substr(line.rfind(' ') + 1)) {
        return fail("TYPE not right after its HELP", line);
      }
      type = line.substr(line.rfind(' ') + 1);
      if (type != "counter" && type != "gauge") return fail("type", line);
      if (type == "counter" && !family.ends_with("_total")) return fail("counter name", line);
    } else {
      if (type.empty()) return fail("sample before HELP and TYPE", line);
      const std::size_t blank = line.rfind(' ');
      if (blank == std::string::npos) return fail("no value", line);
      const std::string key = line.substr(0, blank);
      const std::size_t brace = key.find('{');
      if (key.substr(0, brace) != family) return fail("sample of another family", line);
      std::string problem;
      if (brace != std::string::npos &&
          (key.back() != '}' || !readLabels(key.substr(brace + 1, key.size() - brace - 2), problem))) {
        return fail("labels (" + problem + ")", line);
      }
      std::size_t used = 0;
      const std::string number = line.substr(blank + 1);
      const double value = std::stod(number, &used);
      if (used != number.size()) return fail("value", line);
      if (type == "counter" && (value < 0 || value != static_cast<double>(static_cast<long long>(value)))) {
        return fail("counter value", line);
      }
      if (!result.samples.emplace(key, value).second) return fail("sample twice", line);
      ++familySamples;
    }
  }
  if (familySamples == 0) return fail("family without samples", family);
  return result;
}

// A server with /lobby/ and the protected /secret/, a hand-moved clock, and its endpoint.
class StatusEndpointTest : public testing::Test {
 protected:
  StatusEndpointTest() : clock_(1000000) {
    Channel* lobby = root_.addChild(std::make_unique<Channel>("lobby"));
    lobby->setTopic("Say hi");
    Channel* secret = root_.addChild(std::make_unique<Channel>("secret"));
    secret->setPassword("pw");
    server_ = std::make_unique<TestServer>(
        [this](VoiceServer& server) { server.setClock(clock_.function()); }, &root_);
  }

  StatusEndpoint& endpoint(StatusEndpoint::Options options = quick()) {
    endpoint_ = std::make_unique<StatusEndpoint>(server_->server(), options);
    EXPECT_TRUE(endpoint_->start());
    return *endpoint_;
  }
  static StatusEndpoint::Options quick() {
    StatusEndpoint::Options options;
    options.refresh = 0ms;
    return options;
  }
  std::map<std::string, double> scrape() {
    const std::string answer = httpRequest(endpoint_->port(), "GET", "/metrics");
    EXPECT_EQ(httpStatus(answer), 200);
    const Exposition read = readExposition(httpBody(answer));
    EXPECT_EQ(read.error, "");
    return read.samples;
  }
  std::unique_ptr<TestClient> client(const char* address) {
    return std::make_unique<TestClient>(server_->hostPort(), server_->soundPort(), address);
  }

  ManualClock clock_;
  Channel root_{""};
  std::unique_ptr<TestServer> server_;
  std::unique_ptr<StatusEndpoint> endpoint_;
};

TEST(ExpositionReaderTest, RefusesWhatTheFormatForbids) {
  const std::string good =
      "# HELP quorvane_a_total A.\n# TYPE quorvane_a_total counter\n"
      "quorvane_a_total{k=\"v\",l=\"\\\"\"} 1\n";
  EXPECT_EQ(readExposition(good).error, "");
  for (const std::string& bad : std::vector<std::string>{
           "quorvane_a_total 1\n",
           "# HELP quorvane_a_total A.\nquorvane_a_total 1\n",
           "# HELP quorvane_a_total A.\n# TYPE quorvane_a_total counter\n",
           "# HELP quorvane_a A.\n# TYPE quorvane_a counter\nquorvane_a 1\n",
           "# HELP other_total A.\n# TYPE other_total counter\nother_total 1\n",
           good + good,
           good + "quorvane_a_total{k=\"v\",l=\"\\\"\"} 2\n",
           "# HELP quorvane_g G.\n# TYPE quorvane_g gauge\nquorvane_g{k=v} 1\n",
           "# HELP quorvane_g G.\n# TYPE quorvane_g gauge\nquorvane_h 1\n",
           "# HELP quorvane_g G.\n# TYPE quorvane_g summary\nquorvane_g 1\n",
           "# HELP quorvane_a_total A.\n# TYPE quorvane_a_total counter\nquorvane_a_total 1.5\n",
           "# HELP quorvane_g G.\n# TYPE quorvane_g gauge\nquorvane_g 1",
       }) {
    EXPECT_NE(readExposition(bad).error, "") << bad;
  }
}

TEST_F(StatusEndpointTest, MetricsCountExactlyWhatAClientDid) {
  endpoint();
  auto alice = client("127.0.0.2");
  alice->login("alice");
  const auto before = scrape();
  EXPECT_EQ(before.at("quorvane_users_logged_in"), 1);
  EXPECT_EQ(before.at("quorvane_users_connected"), 1);
  EXPECT_EQ(before.at("quorvane_channels{kind=\"static\"}"), 3);
  EXPECT_EQ(before.at("quorvane_connections_accepted_total"), 1);
  EXPECT_GT(before.at("quorvane_process_start_time_seconds"), 1.7e9);

  for (int i = 0; i < 3; ++i) alice->sendLine("whoami");
  alice->sendLine("bogus");
  alice->sendLine(joinCommand("/made/"));
  std::size_t bytes = 0, lines = 0;
  for (const std::string& line : alice->linesBeforePong()) {
    bytes += line.size() + 2;
    ++lines;
  }
  bytes += std::string("pong\r\n").size();
  ++lines;
  for (int i = 0; i < 2; ++i) alice->sendDatagram(datagram({9}));  // a kind nobody sends

  const std::map<std::string, double> grown{
      {"quorvane_lines_received_total{command=\"whoami\"}", 3},
      {"quorvane_lines_received_total{command=\"other\"}", 1},
      {"quorvane_lines_received_total{command=\"join\"}", 1},
      {"quorvane_lines_received_total{command=\"ping\"}", 1},
      {"quorvane_lines_sent_total", double(lines)},
      {"quorvane_sent_bytes_total", double(bytes)},
      {"quorvane_voice_datagrams_received_total", 2},
      {"quorvane_voice_datagrams_dropped_total{reason=\"ignored\"}", 2},
      {"quorvane_channels{kind=\"created\"}", 1},
  };
  std::map<std::string, double> after;
  // Counters are bumped just after the fact: wait until the last ones have come.
  waitFor([&] {
    after = scrape();
    return after.at("quorvane_voice_datagrams_received_total") >=
               before.at("quorvane_voice_datagrams_received_total") + 2 &&
           after.at("quorvane_lines_sent_total") >= before.at("quorvane_lines_sent_total") + lines;
  });
  ASSERT_EQ(after.size(), before.size());
  for (const auto& [key, value] : after) {
    const auto expected = grown.find(key);
    EXPECT_EQ(value - before.at(key), expected == grown.end() ? 0 : expected->second) << key;
  }
}

// What the clients in each channel were told, against the snapshot and the served document.
TEST_F(StatusEndpointTest, TheStatusDocumentMatchesWhatTheClientsWereTold) {
  const bool distinct = loopbackAddressesDistinct();
  if (!distinct) GTEST_SKIP() << kOneLoopbackAddress;
  StatusEndpoint::Options options = quick();
  endpoint(options);
  auto alice = client("127.0.0.2");
  auto bob = client("127.0.0.3");
  auto carol = client("127.0.0.4");
  auto dave = client("127.0.0.5");
  std::map<TestClient*, Lines> heard;
  for (auto& [user, nick] : std::vector<std::pair<TestClient*, std::string>>{
           {alice.get(), "alice"}, {bob.get(), "bob"}, {carol.get(), "<script>x</script>"},
           {dave.get(), "d\xc3\xa9\xe9"}}) {
    heard[user] = user->login(nick);
  }
  for (auto& [user, command] : std::vector<std::pair<TestClient*, std::string>>{
           {bob.get(), joinCommand("/lobby/")},
           {carol.get(), joinCommand("/secret/", "pw")},
           {dave.get(), joinCommand("/lobby/")},
           {alice.get(), joinCommand("/mine/", "", "my topic")}}) {
    for (std::string& line : user->request(command)) heard[user].push_back(std::move(line));
  }
  clock_.advance(30);
  for (TestClient* user : {alice.get(), bob.get(), carol.get(), dave.get()}) {
    for (std::string& line : user->linesBeforePong()) heard[user].push_back(std::move(line));
  }

  // Each observer's channel and its members as its notifications tell them.
  struct Told {
    std::map<std::string, std::string> channels;  // path to its last line
    std::map<int, std::string> members;            // of the observer's channel
  };
  // An observer hears no "adduser" of itself.
  auto told = [&](TestClient* user, const std::string& nick, const std::string& channel) {
    Told result;
    result.members[user->id()] = nick;
    for (const std::string& text : heard[user]) {
      const ServerLine line(text);
      if (line.is("addchannel") || line.is("updatechannel")) {
        result.channels[line.stringParam("channel")] = text.substr(text.find(' '));
      } else if (line.is("removechannel")) {
        result.channels.erase(line.stringParam("channel"));
      } else if (line.is("adduser") && line.stringParam("channel") == channel) {
        result.members[line.intParam("id")] = line.stringParam("nick");
      } else if (line.is("removeuser") && line.stringParam("channel") == channel) {
        result.members.erase(line.intParam("id"));
      }
    }
    return result;
  };
  const Told all = told(alice.get(), "alice", "/mine/");
  const std::map<std::string, Told> byChannel{
      {"/lobby/", told(bob.get(), "bob", "/lobby/")},
      {"/secret/", told(carol.get(), "<script>x</script>", "/secret/")},
      {"/mine/", told(alice.get(), "alice", "/mine/")}};

  const StatusSnapshot snapshot = server_->server().statusSnapshot();
  std::vector<std::string> paths;
  for (const StatusSnapshot::ChannelView& view : snapshot.channels) {
    paths.push_back(view.path);
    // The channel as every client was told of it.
    ASSERT_EQ(all.channels.count(view.path), 1u) << view.path;
    const std::string line = all.channels.at(view.path);
    std::string operators;
    for (int id : view.operators) operators += (operators.empty() ? "" : ",") + std::to_string(id);
    EXPECT_EQ(line, channelLine("", view.path, "[" + operators + "]", view.isProtected,
                                view.topic)) << view.path;
    std::map<int, std::string> members;
    for (const auto& member : view.members) members[member.id] = member.nick;
    // Everyone has left the root.
    const std::map<int, std::string> expected =
        view.path == "/" ? std::map<int, std::string>() : byChannel.at(view.path).members;
    EXPECT_EQ(members, expected) << view.path;
  }
  EXPECT_EQ(paths, (std::vector<std::string>{"/", "/lobby/", "/secret/", "/mine/"}));
  EXPECT_EQ(snapshot.channels.size(), all.channels.size());
  EXPECT_EQ(snapshot.channels[1].members[0].idleSeconds, 0);  // bob's ping came after the clock moved
  EXPECT_EQ(snapshot.uptimeSeconds, 30);

  // The served document is that snapshot, the protected channel shown by its count only.
  const std::string answer = httpRequest(endpoint_->port(), "GET", "/status.json");
  EXPECT_EQ(httpHeader(answer, "Access-Control-Allow-Origin"), "*");
  EXPECT_EQ(httpHeader(answer, "Content-Type"), "application/json; charset=utf-8");
  const std::string body = httpBody(answer);
  EXPECT_EQ(body, StatusJson::render(snapshot, true));
  EXPECT_NE(body.find("{\"path\":\"/secret/\",\"depth\":1,\"topic\":\"\",\"protected\":true,"
                      "\"static\":true,\"memberCount\":1}"),
            std::string::npos);
  const std::string shown = StatusJson::render(snapshot, false);
  EXPECT_EQ(body.find("script"), std::string::npos);  // carol's nick, in the hidden channel
  EXPECT_NE(shown.find("\"nick\":\"\\u003cscript\\u003ex\\u003c/script\\u003e\""), std::string::npos);
  EXPECT_NE(body.find("\"nick\":\"d\xc3\xa9\\u00e9\""), std::string::npos);
  for (const char* secret : {"pw", "127.0.0."}) EXPECT_EQ(body.find(secret), std::string::npos);
  EXPECT_NE(shown.find("\"members\":[{\"id\":" +
                                                     std::to_string(carol->id())),
            std::string::npos);
}

TEST(StatusJsonTest, TextsAreEscapedIntoValidUtf8) {
  struct Case {
    std::string bytes;
    std::string json;
  };
  const Case cases[] = {
      {"plain nick", "\"plain nick\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {std::string("\x01\t\n\r\x1f\x7f", 6), "\"\\u0001\\u0009\\u000a\\u000d\\u001f\\u007f\""},
      {std::string("a\0b", 3), "\"a\\u0000b\""},
      {"<script>&", "\"\\u003cscript\\u003e\\u0026\""},
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xa4", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xa4\""},
      {"\xe9t\xe9", "\"\\u00e9t\\u00e9\""},                  // Latin-1
      {"\xc0\x80", "\"\\u00c0\\u0080\""},                    // an overlong NUL
      {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},         // a surrogate
      {"\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},  // beyond U+10FFFF
      {"\xe2\x82", "\"\\u00e2\\u0082\""},                    // cut short
      {"\xe2\x80\xa8", "\"\\u2028\""},
  };
  for (const Case& c : cases) EXPECT_EQ(StatusJson::quoted(c.bytes), c.json) << c.json;
}

TEST_F(StatusEndpointTest, TheDocumentIsRebuiltAtMostOncePerRefreshPeriod) {
  StatusEndpoint::Options slow = quick();
  slow.refresh = std::chrono::hours(1);
  StatusEndpoint& cached = endpoint(slow);
  const std::string first = cached.statusJson();
  auto alice = client("127.0.0.2");
  alice->login("alice");
  EXPECT_EQ(cached.statusJson(), first);
  EXPECT_EQ(httpBody(httpRequest(cached.port(), "GET", "/status.json")), first);
  StatusEndpoint fresh(server_->server(), quick());
  EXPECT_NE(fresh.statusJson().find("\"alice\""), std::string::npos);
}

TEST_F(StatusEndpointTest, ThePageIsSelfContainedAndInsertsTextsAsText) {
  endpoint();
  const std::string page = httpRequest(endpoint_->port(), "GET", "/");
  EXPECT_EQ(httpStatus(page), 200);
  EXPECT_EQ(httpHeader(page, "Content-Type"), "text/html; charset=utf-8");
  const std::string html = httpBody(page);
  EXPECT_NE(html.find("name=\"viewport\""), std::string::npos);
  EXPECT_NE(html.find("textContent"), std::string::npos);
  for (const char* outside : {"innerHTML", "http:", "https:", "src=", "href=", "@import"}) {
    EXPECT_EQ(html.find(outside), std::string::npos) << outside;
  }
  const std::string head = httpRequest(endpoint_->port(), "HEAD", "/status.json");
  EXPECT_EQ(httpStatus(head), 200);
  EXPECT_EQ(httpHeader(head, "Access-Control-Allow-Origin"), "*");
  EXPECT_EQ(httpBody(head), "");
  EXPECT_EQ(httpStatus(httpRequest(endpoint_->port(), "POST", "/metrics")), 405);
  EXPECT_EQ(httpStatus(httpRequest(endpoint_->port(), "GET", "/index.html")), 404);
}

TEST_F(StatusEndpointTest, HostileHttpClientsAreCutOffWhileVoiceAndControlGoOn) {
  StatusEndpoint::Options options = quick();
  options.limits.connectionTime = 2000ms;
  options.limits.ioTimeout = 1500ms;
  endpoint(options);
  // Every serving thread held by a client that sends a byte every half second, and one more
  // sending a megabyte.
  std::vector<std::unique_ptr<HttpProbe>> slow;
  for (std::size_t i = 0; i < options.limits.maxConnections; ++i) {
    slow.push_back(std::make_unique<HttpProbe>(endpoint_->port()));
    slow.back()->send("G");
  }
  HttpProbe big(endpoint_->port());
  big.send("GET /metrics HTTP/1.1\r\nX: " + std::string(1 << 20, 'x'));

  // Meanwhile the server logs a client in, answers it and its voice hello.
  auto alice = client("127.0.0.2");
  EXPECT_FALSE(alice->login("alice").empty());
  EXPECT_EQ(ServerLine(alice->request("whoami").at(0)).word(), "youare");
  EXPECT_TRUE(alice->confirmVoice().has_value());

  const auto begin = std::chrono::steady_clock::now();
  std::size_t closed = 0;
  for (int round = 0; round < 40 && closed < slow.size(); ++round) {
    closed = 0;
    for (auto& probe : slow) {
      probe->send("E");
      closed += probe->closedWithin(0ms) ? 1 : 0;
    }
    std::this_thread::sleep_for(500ms);
  }
  EXPECT_EQ(closed, slow.size());
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 15s);
  EXPECT_TRUE(big.closedWithin(kPatience));
  EXPECT_NE(httpStatus(big.readToClose(0ms)), 200);
  EXPECT_EQ(httpStatus(httpRequest(endpoint_->port(), "GET", "/metrics")), 200);
}

}  // namespace
}  // namespace quorvane::test
