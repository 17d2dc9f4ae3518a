// Scenarios (5) and (6), server only: many clients log in at once into the root channel (each
// hears "adduser" of every other), then one of them sends channel messages that all receive.
#pragma once

#include "client/ClientPool.h"
#include "suite/Family.h"
#include "suite/SharedVoice.h"

namespace quorvane {

class LoginFamily : public Family {
 public:
  explicit LoginFamily(const BenchOptions& options);

  std::string name() const override { return "login"; }
  Subject::Kind baseline() const override { return Subject::Kind::Server; }
  bool run(Subject& subject, Figures& figures, std::string& error) override;

 private:
  void measureLogins(Subject& subject, ClientLoop& loop, ClientPool& pool, Figures& figures);
  void measureMessages(ClientLoop& loop, ClientPool& pool, Figures& figures);
};

// Connects `count` clients, sends "protocol" on each and confirms the voice path of each through
// `voice` (opened here, a socket at each address the pool's connections come from): each is then
// ready for "connect". The number ready; `error` says what failed.
// Each step ends at the deadline at the latest.
std::size_t prepareLogins(Subject& subject, ClientLoop& loop, ClientPool& pool,
                          SharedVoice& voice, std::size_t count,
                          ClientLoop::Clock::time_point deadline, std::string& error);

// Every open client of the pool sends "ping" at once; serves the loop until all are answered or
// the deadline passes. The number answered; `latest` is the time the last answer took.
std::size_t pingAll(ClientLoop& loop, ClientPool& pool, ClientLoop::Clock::time_point deadline,
                    double& latest);

}  // namespace quorvane
