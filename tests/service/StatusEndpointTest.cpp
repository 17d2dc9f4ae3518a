// The status endpoint against a running server. Guards against metrics malformed or miscounted, a
// status document that differs from the server's state or shows a protected channel's members, a
// password or an address, texts not escaped, a document rebuilt for every request, a page that
// loads from elsewhere, and HTTP clients that hold up the voice server.
#include "service/StatusEndpoint.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "client/ServerLine.h"
#include "support/ServerTestSupport.h"
#include "service/StatusJson.h"
#include "support/HttpProbe.h"
#include "support/TestServer.h"

namespace quorvane::test {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::Not;

// The samples of a metrics text ("name{labels}" to value), or why the text is not in the
// exposition format: every family has # HELP then # TYPE (counter or gauge) before its samples,
// names and labels are well formed, nothing appears twice, counters are whole and end in _total.
struct Exposition {
  std::map<std::string, double> samples;
  std::string error;
};

Exposition readExposition(const std::string& text) {
  const std::string label = R"([a-zA-Z_]\w*="(?:[^"\\]|\\[\\"n])*")";
  const std::regex help(R"(# HELP (quorvane_[a-zA-Z0-9_:]*) \S.*)");
  const std::regex type(R"(# TYPE ([a-zA-Z0-9_:]+) (counter|gauge))");
  const std::regex sample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{)" + label + "(?:," + label +
                          R"()*\})? (-?[0-9]+(?:\.[0-9]+)?))");
  Exposition result;
  std::set<std::string> families;
  std::string family, kind;  // of the family being read
  std::size_t samples = 1;   // of that family
  auto fail = [&](const std::string& why) {
    result.error = why;
    return result;
  };
  if (text.empty() || text.back() != '\n') return fail("no final line feed");
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (std::regex_match(line, match, help)) {
      if (samples == 0 || !families.insert(match[1]).second) return fail("family: " + line);
      family = match[1];
      kind.clear();
      samples = 0;
    } else if (std::regex_match(line, match, type)) {
      if (match[1] != family || !kind.empty() ||
          (match[2] == "counter" && !family.ends_with("_total"))) {
        return fail("TYPE: " + line);
      }
      kind = match[2];
    } else if (std::regex_match(line, match, sample) && match[1] == family && !kind.empty()) {
      const double value = std::stod(match[2]);
      if (kind == "counter" && (value < 0 || value != std::floor(value))) {
        return fail("counter value: " + line);
      }
      if (!result.samples.emplace(line.substr(0, line.rfind(' ')), value).second) {
        return fail("sample twice: " + line);
      }
      ++samples;
    } else {
      return fail("not in the format: " + line);
    }
  }
  if (samples == 0) return fail("family without samples: " + family);
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

  // Starts the endpoint with the document rebuilt for every request.
  StatusEndpoint& endpoint(std::chrono::milliseconds refresh = 0ms) {
    StatusEndpoint::Options options;
    options.refresh = refresh;
    return endpoint(options);
  }
  StatusEndpoint& endpoint(const StatusEndpoint::Options& options) {
    endpoint_ = std::make_unique<StatusEndpoint>(server_->server(), options);
    EXPECT_TRUE(endpoint_->start());
    return *endpoint_;
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
  const std::string a = "# HELP quorvane_a_total A.\n# TYPE quorvane_a_total counter\n";
  const std::string g = "# HELP quorvane_g G.\n# TYPE quorvane_g gauge\n";
  const std::string good = a + "quorvane_a_total{k=\"v\",l=\"\\\"\"} 1\n";
  EXPECT_EQ(readExposition(good).error, "");
  for (const std::string& bad : std::vector<std::string>{
           "quorvane_a_total 1\n", "# HELP quorvane_a_total A.\nquorvane_a_total 1\n", a,
           "# HELP quorvane_a A.\n# TYPE quorvane_a counter\nquorvane_a 1\n",
           "# HELP other_total A.\n# TYPE other_total counter\nother_total 1\n", good + good,
           good + "quorvane_a_total{k=\"v\",l=\"\\\"\"} 2\n", g + "quorvane_g{k=v} 1\n",
           g + "quorvane_h 1\n", "# HELP quorvane_g G.\n# TYPE quorvane_g summary\nquorvane_g 1\n",
           a + "quorvane_a_total 1.5\n", g + "quorvane_g 1"}) {
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
  std::size_t bytes = std::string("pong\r\n").size(), lines = 1;
  for (const std::string& line : alice->linesBeforePong()) { bytes += line.size() + 2; ++lines; }
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

// The snapshot against the channels and users as the clients made them, and the served document
// against the snapshot: the protected channel shown by its count only, no password or address.
TEST_F(StatusEndpointTest, TheStatusDocumentShowsTheChannelsAndTheirUsers) {
  if (!loopbackAddressesDistinct()) GTEST_SKIP() << kOneLoopbackAddress;
  endpoint();
  auto alice = client("127.0.0.2");
  auto bob = client("127.0.0.3");
  auto carol = client("127.0.0.4");
  auto dave = client("127.0.0.5");
  for (auto& [user, nick, join] : std::vector<std::tuple<TestClient*, std::string, std::string>>{
           {bob.get(), "bob", joinCommand("/lobby/")},
           {carol.get(), "<script>x</script>", joinCommand("/secret/", "pw")},
           {dave.get(), "d\xc3\xa9\xe9", joinCommand("/lobby/")},
           {alice.get(), "alice", joinCommand("/mine/", "", "my topic")}}) {
    ASSERT_FALSE(user->login(nick).empty());
    ASSERT_FALSE(user->request(join).empty());
  }
  clock_.advance(30);
  bob->linesBeforePong();  // bob alone has sent a ping since

  const StatusSnapshot snapshot = server_->server().statusSnapshot();
  std::string seen;
  for (const StatusSnapshot::ChannelView& view : snapshot.channels) {
    seen += view.path + " " + std::to_string(view.depth) + view.topic + " protected=" +
            std::to_string(view.isProtected) + std::to_string(view.isStatic) + " [";
    for (int id : view.operators) seen += std::to_string(id) + " ";
    seen += "]";
    for (const auto& member : view.members) {
      seen += " " + std::to_string(member.id) + member.nick + std::to_string(member.idleSeconds);
    }
    seen += "\n";
  }
  const std::string a = std::to_string(alice->id()), b = std::to_string(bob->id()),
                    c = std::to_string(carol->id()), d = std::to_string(dave->id());
  EXPECT_EQ(seen, "/ 0 protected=01 []\n/lobby/ 1Say hi protected=01 [] " + b + "bob0 " + d +
                      "d\xc3\xa9\xe9" "30\n/secret/ 1 protected=11 [] " + c +
                      "<script>x</script>30\n/mine/ 1my topic protected=00 [" + a + " ] " + a +
                      "alice30\n");
  EXPECT_EQ(snapshot.uptimeSeconds, 30);

  const std::string answer = httpRequest(endpoint_->port(), "GET", "/status.json");
  EXPECT_EQ(httpHeader(answer, "Access-Control-Allow-Origin"), "*");
  EXPECT_EQ(httpHeader(answer, "Content-Type"), "application/json; charset=utf-8");
  const std::string body = httpBody(answer);
  EXPECT_EQ(body, StatusJson::render(snapshot, true));
  EXPECT_THAT(body, HasSubstr("{\"path\":\"/secret/\",\"depth\":1,\"topic\":\"\",\"protected\":"
                              "true,\"static\":true,\"memberCount\":1}"));
  EXPECT_THAT(body, Not(HasSubstr("script")));  // carol's nick, in the hidden channel
  EXPECT_THAT(body, HasSubstr("\"nick\":\"d\xc3\xa9\\u00e9\""));
  for (const char* secret : {"pw", "127.0.0."}) EXPECT_THAT(body, Not(HasSubstr(secret)));
  EXPECT_THAT(StatusJson::render(snapshot, false),
              HasSubstr("\"members\":[{\"id\":" + c +
                        ",\"nick\":\"\\u003cscript\\u003ex\\u003c/script\\u003e\""));
}

TEST(StatusJsonTest, TextsAreEscapedIntoValidUtf8) {
  const std::pair<std::string, std::string> cases[] = {
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
  for (const auto& [bytes, json] : cases) EXPECT_EQ(StatusJson::quoted(bytes), json) << json;
}

TEST_F(StatusEndpointTest, TheDocumentIsRebuiltAtMostOncePerRefreshPeriod) {
  StatusEndpoint& cached = endpoint(std::chrono::hours(1));
  const std::string first = cached.statusJson();
  auto alice = client("127.0.0.2");
  alice->login("alice");
  EXPECT_EQ(cached.statusJson(), first);
  EXPECT_EQ(httpBody(httpRequest(cached.port(), "GET", "/status.json")), first);
  StatusEndpoint fresh(server_->server(), StatusEndpoint::Options());
  EXPECT_THAT(fresh.statusJson(), HasSubstr("\"alice\""));
}

TEST_F(StatusEndpointTest, ThePageIsSelfContainedAndInsertsTextsAsText) {
  endpoint();
  const std::string page = httpRequest(endpoint_->port(), "GET", "/");
  EXPECT_EQ(httpStatus(page), 200);
  EXPECT_EQ(httpHeader(page, "Content-Type"), "text/html; charset=utf-8");
  const std::string html = httpBody(page);
  EXPECT_THAT(html, HasSubstr("name=\"viewport\""));
  EXPECT_THAT(html, HasSubstr("textContent"));
  for (const char* outside : {"innerHTML", "http:", "https:", "src=", "href=", "@import"}) {
    EXPECT_THAT(html, Not(HasSubstr(outside)));
  }
  const std::string head = httpRequest(endpoint_->port(), "HEAD", "/status.json");
  EXPECT_EQ(httpStatus(head), 200);
  EXPECT_EQ(httpHeader(head, "Access-Control-Allow-Origin"), "*");
  EXPECT_EQ(httpBody(head), "");
}

// Guards against a slow or hostile HTTP client holding the server or the endpoint: every serving
// thread held by a client that sends a byte every half second, and one more sending a megabyte.
// Meanwhile the server logs a client in, answers it and its voice hello; then all are cut off.
TEST_F(StatusEndpointTest, HostileHttpClientsAreCutOffWhileVoiceAndControlGoOn) {
  StatusEndpoint::Options options;
  options.refresh = 0ms;
  options.limits.connectionTime = 2000ms;
  options.limits.ioTimeout = 1500ms;
  endpoint(options);
  std::vector<std::unique_ptr<HttpProbe>> slow;
  for (std::size_t i = 0; i < options.limits.maxConnections; ++i) {
    slow.push_back(std::make_unique<HttpProbe>(endpoint_->port()));
    slow.back()->send("G");
  }
  HttpProbe big(endpoint_->port());
  big.send("GET /metrics HTTP/1.1\r\nX: " + std::string(1 << 20, 'x'));

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
