// The bounded HTTP server: routes, methods and HEAD as they go over the wire, and the bounds that
// keep a hostile client from holding it: request size, a connection's time, the number served
// at once, and a stop that does not wait for slow clients.
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

HttpServer::Limits shortLimits() {
  HttpServer::Limits limits;
  limits.maxConnections = 3;
  limits.maxRequestBytes = 4096;
  limits.ioTimeout = 2000ms;
  limits.connectionTime = 1500ms;
  return limits;
}

class HttpServerTest : public testing::Test {
 protected:
  void start(const HttpServer::Limits& limits) {
    http_ = std::make_unique<HttpServer>(limits);
    http_->route("/hello", [this] {
      ++calls_;
      HttpServer::Reply reply;
      reply.contentType = "text/plain";
      reply.body = "hello\n";
      reply.headers.emplace_back("X-Test", "yes");
      return reply;
    });
    ASSERT_TRUE(http_->start("127.0.0.1", 0));
    ASSERT_GT(http_->port(), 0);
  }
  // True when a complete request is answered with 200 (the server still serves).
  bool serves() { return httpStatus(httpRequest(http_->port(), "GET", "/hello")) == 200; }

  std::unique_ptr<HttpServer> http_;
  std::atomic<int> calls_{0};
};

TEST_F(HttpServerTest, AnswersGetAndHeadOfItsRoutesOnly) {
  start(HttpServer::Limits());
  const std::string get = httpRequest(http_->port(), "GET", "/hello");
  EXPECT_EQ(httpStatus(get), 200);
  EXPECT_EQ(httpBody(get), "hello\n");
  EXPECT_EQ(httpHeader(get, "x-test"), "yes");
  EXPECT_EQ(httpHeader(get, "Content-Type"), "text/plain");

  // HEAD: the same headers, the length of the body that GET would send, and no body.
  const std::string head = httpRequest(http_->port(), "HEAD", "/hello");
  EXPECT_EQ(httpStatus(head), 200);
  EXPECT_EQ(httpHeader(head, "Content-Length"), "6");
  EXPECT_EQ(httpBody(head), "");

  struct Case {
    const char* method;
    const char* path;
    int status;
  };
  const Case cases[] = {
      {"GET", "/nothing", 404}, {"GET", "/hello/", 404}, {"HEAD", "/", 404},
      {"POST", "/hello", 405},  {"PUT", "/hello", 405},  {"DELETE", "/nothing", 405},
      {"OPTIONS", "/hello", 405},
  };
  const int before = calls_;
  for (const Case& c : cases) {
    const std::string answer = httpRequest(http_->port(), c.method, c.path);
    EXPECT_EQ(httpStatus(answer), c.status) << c.method << " " << c.path;
    if (c.status == 405) {
      EXPECT_EQ(httpHeader(answer, "Allow"), "GET, HEAD");
    }
  }
  EXPECT_EQ(calls_, before);  // no handler ran for any of them
}

TEST_F(HttpServerTest, ServesSeveralRequestsOnOneConnection) {
  start(HttpServer::Limits());
  HttpProbe probe(http_->port());
  const std::string request = "GET /hello HTTP/1.1\r\nHost: x\r\n\r\n";
  ASSERT_TRUE(probe.send(request + request));
  std::size_t answers = 0;
  waitFor([&] {
    const std::string both = probe.readAtLeast(0, 20ms);
    answers = 0;
    for (std::size_t at = both.find("HTTP/1.1 200"); at != std::string::npos;
         at = both.find("HTTP/1.1 200", at + 1)) {
      ++answers;
    }
    return answers >= 2;
  });
  EXPECT_EQ(answers, 2u);
}

TEST_F(HttpServerTest, ARequestBeyondTheSizeLimitIsCutOff) {
  start(shortLimits());
  // A megabyte of request line, then of headers: the server reads its limit and closes.
  for (const std::string& head : {"GET /" + std::string(1 << 20, 'a'),
                                  "GET /hello HTTP/1.1\r\nX-Big: " + std::string(1 << 20, 'b')}) {
    HttpProbe probe(http_->port());
    probe.send(head);
    const std::string answer = probe.readToClose(5000ms);
    EXPECT_TRUE(probe.closedWithin(0ms));
    EXPECT_NE(httpStatus(answer), 200);
    EXPECT_TRUE(waitFor([&] { return http_->openConnections() == 0; }));
  }
  EXPECT_EQ(calls_, 0);
  EXPECT_TRUE(serves());
}

TEST_F(HttpServerTest, AClientThatTricklesIsCutOffAtTheConnectionsDeadline) {
  start(shortLimits());
  HttpProbe probe(http_->port());
  const auto begin = std::chrono::steady_clock::now();
  // One byte every 100 ms: every single wait is short, the request never ends.
  bool closed = false;
  for (int i = 0; i < 100 && !closed; ++i) {
    probe.send("G");
    closed = probe.closedWithin(100ms);
  }
  const auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_TRUE(closed);
  EXPECT_GE(took, 1400ms);
  EXPECT_LT(took, 8000ms);
  EXPECT_TRUE(serves());
}

TEST_F(HttpServerTest, ServesAtMostItsConnectionLimitAtOnce) {
  start(shortLimits());
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

TEST_F(HttpServerTest, StopEndsConnectionsThatWaitAndCanBeRepeated) {
  HttpServer::Limits limits = shortLimits();
  limits.connectionTime = 60s;
  limits.ioTimeout = 30s;
  start(limits);
  HttpProbe idle(http_->port());
  ASSERT_TRUE(waitFor([&] { return http_->openConnections() == 1; }));
  const auto begin = std::chrono::steady_clock::now();
  http_->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
  EXPECT_TRUE(idle.closedWithin(kPatience));
  http_->stop();
  HttpProbe refused(http_->port());
  EXPECT_TRUE(!refused.connected() || refused.closedWithin(kPatience));
}

TEST_F(HttpServerTest, APortInUseIsAFailedStart) {
  start(HttpServer::Limits());
  HttpServer second{HttpServer::Limits()};
  EXPECT_FALSE(second.start("127.0.0.1", http_->port()));
  EXPECT_TRUE(serves());
}

}  // namespace
}  // namespace quorvane::test
