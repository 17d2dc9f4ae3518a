#include "service/StatusEndpoint.h"

#include "server/VoiceServer.h"
#include "service/MetricsText.h"
#include "service/StatusJson.h"
#include "service/StatusPage.h"

namespace quorvane {

namespace {

// Taken while the program starts up, before main.
const std::time_t kProcessStart = std::time(nullptr);

HttpServer::Reply reply(std::string contentType, std::string body) {
  HttpServer::Reply answer;
  answer.contentType = std::move(contentType);
  answer.body = std::move(body);
  // Current figures every time, never a copy from a cache on the way.
  answer.headers.emplace_back("Cache-Control", "no-store");
  return answer;
}

}  // namespace

StatusEndpoint::StatusEndpoint(VoiceServer& server, const Options& options)
    : server_(server), options_(options), http_(options.limits) {
  http_.route("/metrics", [this] {
    return reply("text/plain; version=0.0.4; charset=utf-8", metricsText());
  });
  http_.route("/status.json", [this] {
    HttpServer::Reply answer = reply("application/json; charset=utf-8", statusJson());
    // Any site may show the status.
    answer.headers.emplace_back("Access-Control-Allow-Origin", "*");
    return answer;
  });
  http_.route("/", [] { return reply("text/html; charset=utf-8", StatusPage::html()); });
}

StatusEndpoint::~StatusEndpoint() { stop(); }

bool StatusEndpoint::start() { return http_.start(options_.address, options_.port); }

void StatusEndpoint::stop() { http_.stop(); }

std::time_t StatusEndpoint::processStart() { return kProcessStart; }

std::string StatusEndpoint::metricsText() const {
  return MetricsText::render(server_.metrics(), server_.pool().counters(), kProcessStart);
}

std::string StatusEndpoint::statusJson() {
  std::lock_guard<std::mutex> guard(cacheLock_);
  const auto now = std::chrono::steady_clock::now();
  if (!cached_ || now - cachedAt_ >= options_.refresh) {
    cachedJson_ = StatusJson::render(server_.statusSnapshot(), options_.hideProtected);
    cachedAt_ = now;
    cached_ = true;
  }
  return cachedJson_;
}

}  // namespace quorvane
