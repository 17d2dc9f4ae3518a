// A VoiceServer started in the test process on free loopback ports, stopped and destroyed with
// the object.
#pragma once

#include <memory>

#include "server/VoiceServer.h"

namespace quorvane::test {

// A TCP port that was free a moment ago.
int probeFreePort();
// A UDP port that was free a moment ago.
int probeFreeDatagramPort();

class TestServer {
 public:
  // `configure` runs before start (settings, clock, timer period).
  explicit TestServer(const std::function<void(VoiceServer&)>& configure = {},
                      const Channel* staticRoot = nullptr);
  ~TestServer();

  VoiceServer& server() { return *server_; }
  bool started() const { return started_; }
  int hostPort() const { return server_->hostPort(); }
  int soundPort() const { return server_->soundPort(); }
  // Stops the server now (the destructor then only destroys it).
  void stop();

 private:
  ReactorPool pool_;
  std::unique_ptr<VoiceServer> server_;
  bool started_ = false;
};

}  // namespace quorvane::test
