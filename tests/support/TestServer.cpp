#include "support/TestServer.h"

#include "service/ServerLog.h"
#include "transport/SocketApi.h"

namespace quorvane::test {

namespace {

int boundPort(int type) {
  SocketHandle s = static_cast<SocketHandle>(::socket(AF_INET, type, 0));
  if (s == kNoSocket) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  sys::socklen_type length = sizeof address;
  int port = 0;
  if (::bind(sys::native(s), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(sys::native(s), reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  sys::closeSocket(s);
  return port;
}

}  // namespace

int probeFreePort() { return boundPort(SOCK_STREAM); }

int probeFreeDatagramPort() { return boundPort(SOCK_DGRAM); }

TestServer::TestServer(const std::function<void(VoiceServer&)>& configure,
                       const Channel* staticRoot) {
  // Another process may take a probed port before the server binds it: try a few.
  for (int attempt = 0; attempt < 20 && !started_; ++attempt) {
    server_ = std::make_unique<VoiceServer>(pool_, staticRoot);
    // Entries go to the process's log, which tests point where they read it (when logging is on).
    server_->setLogSink(&ServerLog::instance());
    if (configure) configure(*server_);
    started_ = server_->start(boundPort(SOCK_STREAM), boundPort(SOCK_DGRAM));
    if (!started_) server_->stop();
  }
}

TestServer::~TestServer() {
  stop();
  server_.reset();
  pool_.stopAll();
}

void TestServer::stop() { server_->stop(); }

}  // namespace quorvane::test
