// Scenario (8): voice round trips between two members of one channel, one every 2 ms, first on an
// idle server and then while quorvane-load runs its clients against it at the lowest priority and
// the status endpoint's metrics are fetched every 100 ms. Voice has a thread of its own; this
// shows whether control work still delays it. Server only.
#pragma once

#include <sys/types.h>

#include "suite/Family.h"
#include "suite/VoiceFlood.h"

namespace quorvane {

class VoiceLoadFamily : public Family {
 public:
  explicit VoiceLoadFamily(const BenchOptions& options);

  std::string name() const override { return "voiceload"; }
  Subject::Kind baseline() const override { return Subject::Kind::Server; }
  bool run(Subject& subject, Figures& figures, std::string& error) override;

 private:
  // Starts the load tool under `nice 19` against `subject`, its output into `outputPath`; its
  // process id, or -1 (with `error`).
  pid_t startLoad(const Subject& subject, const std::string& outputPath, std::string& error) const;
  // Round trips until the load tool ends (or a bound is reached); false (with `error`) when the
  // tool failed or had to be stopped.
  bool roundTripsUnderLoad(pid_t load, const std::string& outputPath,
                           const VoiceEndpoints& endpoints, RoundTripResult& result,
                           std::string& error) const;
  static void record(const std::string& prefix, const RoundTripResult& result, Figures& figures);
};

}  // namespace quorvane
