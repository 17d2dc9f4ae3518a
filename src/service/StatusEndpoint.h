// The status endpoint: /metrics, /status.json and the status page / over HTTP, on threads of its
// own (HttpServer), never on the event loops or the voice thread. Metrics are read from atomics
// without any lock; the status document is rebuilt from a snapshot taken under the loop lock at
// most once per refresh period, and served from that copy in between. Refers to the server
// without owning it: stop (or destroy) the endpoint before the server stops.
#pragma once

#include <chrono>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "transport/HttpServer.h"

namespace quorvane {

class VoiceServer;

class StatusEndpoint {
 public:
  struct Options {
    std::string address = "127.0.0.1";
    int port = 0;  // 0: any free port (tests)
    bool hideProtected = true;
    // How old the status document may be.
    std::chrono::milliseconds refresh{1000};
    HttpServer::Limits limits;
  };

  StatusEndpoint(VoiceServer& server, const Options& options);
  ~StatusEndpoint();

  // Binds and serves; false when the address and port cannot be bound.
  bool start();
  void stop();
  int port() const { return http_.port(); }

  // What the routes serve; any thread.
  std::string metricsText() const;
  std::string statusJson();

  // When the process started, in seconds since the epoch.
  static std::time_t processStart();

 private:
  VoiceServer& server_;
  const Options options_;
  HttpServer http_;
  std::mutex cacheLock_;  // taken before the loop lock, never after it
  std::string cachedJson_;
  std::chrono::steady_clock::time_point cachedAt_{};
  bool cached_ = false;
};

}  // namespace quorvane
