// The whole bench: runs each chosen family the given number of times on a freshly started
// subject, server and baseline in turn, prints a progress line per run and then the family's
// tables, and ends with the count of targets met. One thread.
#pragma once

#include <memory>
#include <vector>

#include "suite/BenchOptions.h"
#include "suite/Family.h"

namespace quorvane {

class BenchSuite {
 public:
  explicit BenchSuite(const BenchOptions& options);

  // True when every run could be made (targets missed do not count).
  bool run();

 private:
  void printHeader() const;
  // One run on a fresh subject; false when it could not be made.
  bool runOnce(Family& family, Subject::Kind kind, int round);
  const std::string& programOf(Subject::Kind kind) const;

  const BenchOptions& options_;
  std::vector<std::unique_ptr<Family>> families_;
  int passed_ = 0;
  int missed_ = 0;
};

}  // namespace quorvane
