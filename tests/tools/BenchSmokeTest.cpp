// The bench driver: its tables judge every target on the medians and in the right direction,
// and a quick run against the built server and baselines completes every scenario.
// Guards against a bench that judges targets wrongly or skips a scenario.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "suite/ResultTable.h"
#include "suite/Stats.h"
#include "ToolRun.h"

namespace quorvane {
namespace {

using Check = ResultTable::Check;

std::string printed(const ResultTable& table, int& passed, int& missed) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = ::open_memstream(&text, &size);
  table.print(out, passed, missed);
  std::fclose(out);
  std::string result(text, size);
  std::free(text);
  return result;
}

// The printed line of the row whose label is `label`, columns separated by single blanks.
std::string rowOf(const std::string& text, const std::string& label) {
  const std::size_t start = text.find("\n  " + label + " ");
  if (start == std::string::npos) return "";
  std::string row;
  for (std::size_t i = start + 3; i < text.size() && text[i] != '\n'; ++i) {
    if (text[i] != ' ' || row.back() != ' ') row += text[i];
  }
  return row;
}

TEST(BenchTableTest, JudgesTargetsOnMediansInTheirDirection) {
  ResultTable table("title", "base");
  table.add({"rate", "rate", "/s", 1, 0, Check::RatioAtLeast, 0.9});
  table.add({"cpu", "cpu", "us", 1e6, 1, Check::RatioAtMost, 1.2});
  table.add({"loss", "loss", "%", 100, 1, Check::AtMost, 1});
  table.add({"alone", "server only", "", 1, 0, Check::RatioAtLeast, 1});
  // One bad run must not decide: a mean rate would be 0.68x the baseline, the median is 0.95x.
  for (const double rate : {100.0, 95.0, 10.0}) {
    table.record(true, {{"rate", rate}, {"cpu", 13e-6}, {"loss", 0.02}, {"alone", 1}});
    table.record(false, {{"rate", 100}, {"cpu", 10e-6}, {"loss", 0.5}});
  }
  int passed = 0, missed = 0;
  const std::string text = printed(table, passed, missed);
  EXPECT_EQ(rowOf(text, "rate"), "rate 95 [10..100] /s 100 [100..100] /s 0.95x >= 0.90x PASS");
  EXPECT_EQ(rowOf(text, "cpu"),
            "cpu 13.0 [13.0..13.0] us 10.0 [10.0..10.0] us 1.30x <= 1.20x MISS");
  EXPECT_EQ(rowOf(text, "loss"), "loss 2.0 [2.0..2.0] % 50.0 [50.0..50.0] % 0.04x <= 1 % MISS");
  // A target on a ratio without a baseline figure cannot be met.
  EXPECT_EQ(rowOf(text, "server only"), "server only 1 [1..1] - - >= 1.00x n/a");
  EXPECT_EQ(passed, 1);
  EXPECT_EQ(missed, 3);
}

TEST(BenchTableTest, PercentilesAndSpreads) {
  std::vector<double> samples;
  for (int i = 100; i >= 1; --i) samples.push_back(i);
  EXPECT_EQ(percentile(samples, 0.99), 99);
  EXPECT_EQ(percentile(samples, 0.50), 50);
  EXPECT_EQ(percentile({7}, 0.99), 7);
  EXPECT_EQ(percentile({}, 0.5), 0);
  const Spread even = spreadOf({4, 1, 3, 2});
  EXPECT_EQ(even.median, 2.5);
  EXPECT_EQ(even.min, 1);
  EXPECT_EQ(even.max, 4);
}

TEST(BenchSmokeTest, QuickRunCompletesEveryScenario) {
  std::string output;
  const int status = test::runTool(QUORVANE_BENCH_PROGRAM,
                                   std::string("--quick --repeat 1 --server ") + QUORVANE_PROGRAM +
                                       " --relay " + QUORVANE_RELAY_BASELINE + " --ping " +
                                       QUORVANE_PING_BASELINE + " --load " + QUORVANE_LOAD_PROGRAM,
                                   output);
  EXPECT_EQ(status, 0) << output;
  for (const char* table : {"(1) ", "(2) ", "(3) ", "(4) ", "(5) ", "(6) ", "(7) ", "(8) "}) {
    EXPECT_NE(output.find(table), std::string::npos) << table << "\n" << output;
  }
  EXPECT_NE(output.find("every run completed"), std::string::npos) << output;
  EXPECT_EQ(output.find("FAILED"), std::string::npos) << output;
}

}  // namespace
}  // namespace quorvane
