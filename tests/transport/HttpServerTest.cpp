// The bounded HTTP server: routes, methods and HEAD as they go over the wire, the number of
// connections served at once, and a stop that does not wait for slow clients. Oversized and
// trickling requests are cut off in the status endpoint's test of hostile clients.
// Guards against handlers run for the wrong requests, and a server held by idle clients.
#include "transport/HttpServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "support/HttpProbe.h"
#include "support/WaitFor.h"

namespace quorvane::test {
namespace {

using namespace std::chrono_literals;

class HttpServerTest : public testing::Test {
 protected:
  // Three connections served at once, each for `connectionTime` at most.
  void start(std::chrono::milliseconds connectionTime = 1500ms,
             std::chrono::milliseconds ioTimeout = 2000ms) {
    HttpServer::Limits limits;
    limits.maxConnections = 3;
    limits.connectionTime = connectionTime;
    limits.ioTimeout = ioTimeout;
    http_ = std::make_unique<HttpServer>(limits);
    http_->route("/hello", [this] {
      ++calls_;
      HttpServer::Reply reply;
      reply.contentType = "text/plain";
      reply.body = "hello\n";
      return reply;
    });
    ASSERT_TRUE(http_->start("127.0.0.1", 0));
  }

  std::unique_ptr<HttpServer> http_;
  std::atomic<int> calls_{0};
};

// GET and HEAD of a route run its handler; anything else runs none. Headers, HEAD and a port in
// use are tried through the status endpoint.
TEST_F(HttpServerTest, RunsHandlersForGetAndHeadOfTheirRoutesOnly) {
  start();
  const struct {
    const char* method;
    const char* path;
    int status;
  } cases[] = {
      {"GET", "/nothing", 404}, {"GET", "/hello/", 404}, {"HEAD", "/", 404},
      {"POST", "/hello", 405},  {"PUT", "/hello", 405},  {"DELETE", "/nothing", 405},
  };
  for (const auto& c : cases) {
    const std::string answer = httpRequest(http_->port(), c.method, c.path);
    EXPECT_EQ(httpStatus(answer), c.status) << c.method << " " << c.path;
    EXPECT_EQ(httpHeader(answer, "Allow"), c.status == 405 ? "GET, HEAD" : "");
  }
  EXPECT_EQ(calls_, 0);
  // Two requests on one connection get two answers.
  HttpProbe probe(http_->port());
  const std::string request = "GET /hello HTTP/1.1\r\nHost: x\r\n\r\n";
  ASSERT_TRUE(probe.send(request + "HEAD /hello HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_TRUE(waitFor([&] {
    const std::string both = probe.readAtLeast(0, 20ms);
    const std::size_t first = both.find("HTTP/1.1 200");
    return first != std::string::npos && both.find("HTTP/1.1 200", first + 1) != std::string::npos;
  }));
  EXPECT_EQ(calls_, 2);
}

TEST_F(HttpServerTest, ServesAtMostItsConnectionLimitAtOnce) {
  start();
  // Three idle connections take every serving thread...
  std::vector<std::unique_ptr<HttpProbe>> idle;
  for (int i = 0; i < 3; ++i) idle.push_back(std::make_unique<HttpProbe>(http_->port()));
  ASSERT_TRUE(waitFor([&] { return http_->openConnections() == 3; }));
  // ... so a fourth waits unserved, and more connections change nothing.
  HttpProbe waiting(http_->port());
  HttpProbe another(http_->port());
  waiting.send("GET /hello HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(waiting.readAtLeast(1, 300ms), "");
  EXPECT_EQ(http_->openConnections(), 3u);
  // Once the idle ones reach their deadline, it is answered.
  EXPECT_EQ(httpStatus(waiting.readToClose()), 200);
}

TEST_F(HttpServerTest, StopEndsConnectionsThatWaitAndIsHarmlessRepeated) {
  start(60s, 30s);
  HttpProbe idle(http_->port());
  ASSERT_TRUE(waitFor([&] { return http_->openConnections() == 1; }));
  const auto begin = std::chrono::steady_clock::now();
  http_->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
  EXPECT_TRUE(idle.closedWithin(kPatience));
  http_->stop();
}

}  // namespace
}  // namespace quorvane::test
