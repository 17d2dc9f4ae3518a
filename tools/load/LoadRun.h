// A whole load run: the worker threads, the progress report every interval, the check of the
// last text messages once everything has stopped, and the final report. Used by main().
#pragma once

#include <memory>
#include <vector>

#include "load/LoadOptions.h"
#include "load/LoadStats.h"
#include "load/LoadWorker.h"
#include "load/PeerDirectory.h"

namespace quorvane {

class LoadRun {
 public:
  explicit LoadRun(const LoadOptions& options);

  // Runs to the end and prints the report; true when nothing was lost, reordered or wrong.
  bool run();

 private:
  void reportProgress(double elapsed, LoadStats::Figures& previous, double& previousTime);
  // Compares what every remaining session sent to every other with what that one received.
  void checkLastMessages();
  bool reportFinal(double seconds);

  const LoadOptions& options_;
  LoadStats stats_;
  PeerDirectory peers_;
  std::vector<std::unique_ptr<LoadWorker>> workers_;
};

}  // namespace quorvane
