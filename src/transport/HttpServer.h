// A small read-only HTTP/1.1 server on threads of its own: one accepts, and at most
// `maxConnections` serve a connection each, so a slow or hostile client can hold neither the
// rest of the program nor more than its share of descriptors. Every connection is bounded in
// bytes read and in time. Serves GET and HEAD of the routes given before start; other paths get
// 404, other methods 405. Handlers run on the serving threads, several at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quorvane {

class HttpServer {
 public:
  struct Limits {
    std::size_t maxConnections = 16;
    // Bytes read from one connection in all (its requests' lines and headers).
    std::size_t maxRequestBytes = 16 * 1024;
    // One wait for the socket: a request that does not arrive, an answer not taken.
    std::chrono::milliseconds ioTimeout{5000};
    // A connection in all, however it trickles.
    std::chrono::milliseconds connectionTime{15000};
    // Requests on one connection.
    int requestsPerConnection = 16;
  };

  struct Reply {
    int status = 200;
    std::string contentType;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
  };
  using Handler = std::function<Reply()>;

  explicit HttpServer(const Limits& limits);
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;
  ~HttpServer();

  // Before start: GET and HEAD of exactly `path` answer with what `handler` returns.
  void route(const std::string& path, Handler handler);
  // Binds the IPv4 address and port (0: any free port) and starts serving; false, with nothing
  // started, when it cannot bind.
  bool start(const std::string& address, int port);
  // The port being served.
  int port() const { return port_; }
  // Ends every connection, waits for the threads and closes the port. Any thread but a handler.
  void stop();
  // Connections being served now.
  std::size_t openConnections() const;

 private:
  class Engine;
  std::unique_ptr<Engine> engine_;
  std::thread thread_;
  int port_ = 0;
};

}  // namespace quorvane
