// Scenario (7): as many connected, voice-confirmed, pinging clients as the descriptor limit
// allows, some of them logged in across 10 channels; the count held, the server's memory per
// client, and the time until every client has its "pong" when all ping at once. The line
// baseline holds plain connections for comparison.
#pragma once

#include "client/ClientPool.h"
#include "suite/Family.h"

namespace quorvane {

class CapacityFamily : public Family {
 public:
  explicit CapacityFamily(const BenchOptions& options);

  std::string name() const override { return "capacity"; }
  Subject::Kind baseline() const override { return Subject::Kind::PingBaseline; }
  // Raises the bench's own descriptor limit, once.
  void prepare() override;
  bool run(Subject& subject, Figures& figures, std::string& error) override;

 private:
  // How many clients to try: the room the server announced (at most 30,000) or the option,
  // within what the bench's own descriptor limit allows.
  std::size_t attempts(const Subject& subject);
  // Logs in the first `count` open clients, each joining one of the channels /c0/ to /c9/.
  bool logIn(ClientLoop& loop, ClientPool& pool, std::size_t count,
             ClientLoop::Clock::time_point deadline, std::string& error);

  // The clients the bench's own descriptor limit leaves room for.
  long benchRoom_ = 0;
  // The count tried in the server's latest run, so the baseline gets the same.
  std::size_t lastAttempts_ = 0;
};

// Raises the bench's own descriptor limit: the soft limit to the hard one, and as root the hard
// one too, so that the bench can open more connections than a subject may hold. The new limit.
long raiseBenchDescriptorLimit();

}  // namespace quorvane
