#include "support/TestServer.h"

#include "service/ServerLog.h"
#include "transport/Socket.h"

namespace quorvane::test {

namespace {

int boundPort(Socket::Type type) {
  Socket socket;
  return socket.create(0, type) ? socket.localPort() : 0;
}

}  // namespace

int probeFreePort() { return boundPort(Socket::Stream); }

int probeFreeDatagramPort() { return boundPort(Socket::Datagram); }

TestServer::TestServer(const std::function<void(VoiceServer&)>& configure,
                       const Channel* staticRoot) {
  // Another process may take a probed port before the server binds it: try a few.
  for (int attempt = 0; attempt < 20 && !started_; ++attempt) {
    server_ = std::make_unique<VoiceServer>(pool_, staticRoot);
    // Entries go to the process's log, which tests point where they read it (when logging is on).
    server_->setLogSink(&ServerLog::instance());
    if (configure) configure(*server_);
    started_ = server_->start(probeFreePort(), probeFreeDatagramPort());
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
