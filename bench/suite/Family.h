// A family of scenarios that share one start of the subject per run: it measures one run on a
// given subject and owns the tables its figures go into. Driven by BenchSuite on one thread.
#pragma once

#include <string>
#include <vector>

#include "suite/BenchOptions.h"
#include "suite/ResultTable.h"
#include "suite/Subject.h"

namespace quorvane {

class Family {
 public:
  explicit Family(const BenchOptions& options) : options_(options) {}
  virtual ~Family() = default;
  Family(const Family&) = delete;
  Family& operator=(const Family&) = delete;

  // The name --only knows it by.
  virtual std::string name() const = 0;
  // The baseline it is compared with; Kind::Server when it has none.
  virtual Subject::Kind baseline() const = 0;
  // Work done once before the runs (measuring the bench alone, for instance).
  virtual void prepare() {}
  // One run on a freshly started subject; false with `error` when the run could not be made.
  virtual bool run(Subject& subject, Figures& figures, std::string& error) = 0;

  std::vector<ResultTable>& tables() { return tables_; }

 protected:
  const BenchOptions& options_;
  std::vector<ResultTable> tables_;
};

}  // namespace quorvane
