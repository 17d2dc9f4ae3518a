#include "load/LoadStats.h"

#include <cstdio>

namespace quorvane {

LoadStats::Figures LoadStats::snapshot() const {
  Figures figures{};
  for (int i = 0; i < kCounterCount; ++i) figures[i] = get(static_cast<Counter>(i));
  return figures;
}

void LoadStats::problem(Counter counter, const std::string& text, std::uint64_t amount) {
  add(counter, amount);
  const int number = printed_.fetch_add(1, std::memory_order_relaxed);
  if (number < kPrintedProblems) {
    std::fprintf(stderr, "problem: %s\n", text.c_str());
  } else if (number == kPrintedProblems) {
    std::fprintf(stderr, "problem: (further problems are counted, not printed)\n");
  }
}

}  // namespace quorvane
