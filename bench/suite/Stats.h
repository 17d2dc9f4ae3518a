// Summaries of measured samples: percentiles of one run's samples and the median and range of a
// figure over repeated runs, and the elapsed time they are made of. Plain functions; no state.
#pragma once

#include <chrono>
#include <vector>

namespace quorvane {

// The sample at `fraction` (0..1) of the sorted samples, nearest rank; 0 when there are none.
double percentile(std::vector<double> samples, double fraction);

struct Spread {
  double median = 0;
  double min = 0;
  double max = 0;
};

// Median (the mean of the middle two for an even count), minimum and maximum.
Spread spreadOf(std::vector<double> runs);

// The seconds from `start` until now.
double secondsSince(std::chrono::steady_clock::time_point start);

}  // namespace quorvane
