#include "transport/HttpServer.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>

#include "transport/HttpStream.h"
#include "transport/HttpWorkers.h"
#include "transport/SocketApi.h"

namespace quorvane {

// The library's server with each connection served through an HttpStream and remembered, so
// that stop can end the connections that wait.
class HttpServer::Engine : public httplib::Server {
 public:
  explicit Engine(const Limits& limits);
  void addRoute(const std::string& path, HttpServer::Handler handler) {
    routes_[path] = std::move(handler);
  }
  // Ends the listening and every connection.
  void finish();
  std::size_t open() const;

 private:
  bool process_and_close_socket(socket_t sock) override;
  HandlerResponse answer(const httplib::Request& request, httplib::Response& response) const;
  // False when stopping: the connection is not to be served.
  bool track(SocketHandle sock);
  void untrack(SocketHandle sock);

  const Limits limits_;
  std::map<std::string, HttpServer::Handler> routes_;
  mutable std::mutex lock_;
  std::set<SocketHandle> open_;
  std::atomic<bool> stopping_{false};
};

HttpServer::Engine::Engine(const Limits& limits) : limits_(limits) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limits.ioTimeout);
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
      limits.ioTimeout - seconds);
  // The socket time-outs the library sets on each accepted connection bound a blocking send.
  set_read_timeout(seconds.count(), micros.count());
  set_write_timeout(seconds.count(), micros.count());
  set_payload_max_length(limits.maxRequestBytes);
  // What the library announces in Keep-Alive headers; the loop below keeps to it.
  set_keep_alive_max_count(static_cast<std::size_t>(limits.requestsPerConnection));
  set_keep_alive_timeout(std::max<time_t>(1, seconds.count()));
  // Only one server may listen on the port: no SO_REUSEPORT (which the library would set).
  set_socket_options([](socket_t sock) { sys::allowAddressReuse(static_cast<SocketHandle>(sock)); });
  const std::size_t threads = limits.maxConnections;
  new_task_queue = [threads] { return new HttpWorkers(threads); };
  set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
    return answer(request, response);
  });
}

httplib::Server::HandlerResponse HttpServer::Engine::answer(const httplib::Request& request,
                                                            httplib::Response& response) const {
  if (request.method != "GET" && request.method != "HEAD") {
    response.status = 405;
    response.set_header("Allow", "GET, HEAD");
    response.set_content("Method not allowed\n", "text/plain; charset=utf-8");
    return HandlerResponse::Handled;
  }
  auto route = routes_.find(request.path);
  if (route == routes_.end()) {
    response.status = 404;
    response.set_content("Not found\n", "text/plain; charset=utf-8");
    return HandlerResponse::Handled;
  }
  Reply reply = route->second();
  response.status = reply.status;
  for (const auto& header : reply.headers) response.set_header(header.first, header.second);
  response.set_content(std::move(reply.body), reply.contentType.c_str());
  return HandlerResponse::Handled;
}

bool HttpServer::Engine::process_and_close_socket(socket_t sock) {
  const auto handle = static_cast<SocketHandle>(sock);
  if (track(handle)) {
    HttpStream stream(handle, {limits_.ioTimeout,
                               HttpStream::Clock::now() + limits_.connectionTime,
                               limits_.maxRequestBytes, &stopping_});
    for (int left = limits_.requestsPerConnection; left > 0; --left) {
      if (!stream.is_readable()) break;
      bool closed = false;
      const bool last = left == 1 || stream.spent();
      if (!process_request(stream, last, closed, nullptr) || closed || last) break;
    }
    untrack(handle);
  }
  ::shutdown(sys::native(handle), 2);
  sys::closeSocket(handle);
  return true;
}

bool HttpServer::Engine::track(SocketHandle sock) {
  std::lock_guard<std::mutex> guard(lock_);
  if (stopping_) return false;
  open_.insert(sock);
  return true;
}

void HttpServer::Engine::untrack(SocketHandle sock) {
  std::lock_guard<std::mutex> guard(lock_);
  open_.erase(sock);
}

std::size_t HttpServer::Engine::open() const {
  std::lock_guard<std::mutex> guard(lock_);
  return open_.size();
}

void HttpServer::Engine::finish() {
  {
    // A connection is closed only after it is forgotten, so every handle here is still its own.
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
    for (SocketHandle sock : open_) ::shutdown(sys::native(sock), 2);
  }
  stop();
}

HttpServer::HttpServer(const Limits& limits) : engine_(std::make_unique<Engine>(limits)) {}

HttpServer::~HttpServer() { stop(); }

void HttpServer::route(const std::string& path, Handler handler) {
  engine_->addRoute(path, std::move(handler));
}

bool HttpServer::start(const std::string& address, int port) {
  if (thread_.joinable()) return false;
  if (port == 0) {
    port = engine_->bind_to_any_port(address);
    if (port <= 0) return false;
  } else if (!engine_->bind_to_port(address, port)) {
    return false;
  }
  port_ = port;
  thread_ = std::thread([this] { engine_->listen_after_bind(); });
  // A stop before the library counts as listening would not reach it.
  for (int waited = 0; waited < 5000 && !engine_->is_running(); ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void HttpServer::stop() {
  if (!thread_.joinable()) return;
  engine_->finish();
  thread_.join();
}

std::size_t HttpServer::openConnections() const { return engine_->open(); }

}  // namespace quorvane
