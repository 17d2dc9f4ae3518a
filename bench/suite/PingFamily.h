// Scenario (4): "ping" round trips in a closed loop, each connection keeping a fixed number of
// pings outstanding, against the server (not logged in) or the line baseline.
#pragma once

#include <cstdint>
#include <vector>

#include "client/ClientPool.h"
#include "suite/Family.h"

namespace quorvane {

class PingFamily : public Family {
 public:
  explicit PingFamily(const BenchOptions& options);

  std::string name() const override { return "ping"; }
  Subject::Kind baseline() const override { return Subject::Kind::PingBaseline; }
  bool run(Subject& subject, Figures& figures, std::string& error) override;

 private:
  // What one shape's closed loop saw: round trips answered within the measured window, the
  // latencies of those asked and answered within it, and the CPU times over it.
  struct PingLoop {
    std::vector<double> latencies;
    std::uint64_t completed = 0;
    std::uint64_t unanswered = 0;
    double cpu = 0;
    double bench = 0;
  };

  // One shape on a fresh set of connections; false when the connections could not be made or
  // pings went unanswered.
  bool measureShape(Subject& subject, int connections, int outstanding, Figures& figures,
                    std::string& error);
  // Keeps `outstanding` pings in flight on every client of the pool through the warm-up and the
  // window, then waits for the last answers.
  PingLoop runPingLoop(Subject& subject, ClientLoop& loop, ClientPool& pool, int outstanding);
};

// The figure-name prefix of a shape, such as "100x8.".
std::string shapeKey(int connections, int outstanding);

// The bench process's own CPU time in seconds.
double benchCpuSeconds();

}  // namespace quorvane
