#include "suite/Stats.h"

#include <algorithm>
#include <cmath>

namespace quorvane {

double percentile(std::vector<double> samples, double fraction) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const double rank = std::ceil(fraction * static_cast<double>(samples.size()));
  const std::size_t index = static_cast<std::size_t>(std::max(rank, 1.0)) - 1;
  return samples[std::min(index, samples.size() - 1)];
}

Spread spreadOf(std::vector<double> runs) {
  Spread spread;
  if (runs.empty()) return spread;
  std::sort(runs.begin(), runs.end());
  const std::size_t middle = runs.size() / 2;
  spread.median = runs.size() % 2 == 1 ? runs[middle] : (runs[middle - 1] + runs[middle]) / 2;
  spread.min = runs.front();
  spread.max = runs.back();
  return spread;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace quorvane
