// The metrics (/metrics) in the Prometheus text exposition format: one family per quantity, each
// with # HELP and # TYPE, names prefixed quorvane_ and in base units. Reads only atomics: no lock,
// and the same few lines whatever the number of users.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "server/ServerMetrics.h"
#include "transport/TrafficCounters.h"

namespace quorvane {

class MetricsText {
 public:
  static std::string render(const ServerMetrics& server, const TrafficCounters& traffic,
                            std::time_t processStart);

 private:
  explicit MetricsText(std::string& out) : out_(out) {}
  // The # HELP and # TYPE lines of a family.
  void family(const char* name, const char* type, const char* help);
  // One sample; `label` is name="value" or empty.
  void sample(const char* name, const std::string& label, std::uint64_t value);
  // One sample per counter, labelled with the matching value.
  void series(const char* name, const char* labelName, const char* const* values,
              const std::atomic<std::uint64_t>* counters, int count);
  void one(const char* name, const char* type, const char* help, std::uint64_t value);

  std::string& out_;
};

}  // namespace quorvane
