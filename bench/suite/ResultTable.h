// The printed result of one scenario family: a row per figure with the server's and the
// baseline's median [min..max] over the runs, the ratio server/baseline of the medians, and the
// target with PASS or MISS. Filled and printed on one thread.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace quorvane {

// The figures one run measured, by name.
using Figures = std::map<std::string, double>;

class ResultTable {
 public:
  enum class Check { None, RatioAtLeast, RatioAtMost, AtLeast, AtMost };

  struct Row {
    std::string key;  // the figure's name in a run's Figures
    std::string label;
    std::string unit;  // printed after the numbers
    double scale = 1;  // the figure is printed multiplied by this
    int decimals = 1;
    Check check = Check::None;
    // A factor for the ratio checks; a printed (scaled) value for AtLeast and AtMost, which judge
    // the server's median.
    double limit = 0;
  };

  ResultTable(std::string title, std::string baselineName);

  void add(const Row& row) { rows_.push_back(row); }
  // One run's figures, of the server or of the baseline; unknown names are ignored.
  void record(bool server, const Figures& figures);
  // A line printed under the table.
  void note(const std::string& text) { notes_.push_back(text); }

  // Prints the table and adds its targets met and missed to the totals.
  void print(std::FILE* out, int& passed, int& missed) const;

 private:
  struct Cells {
    std::string label, server, baseline, ratio, target, verdict;
  };
  Cells cellsOf(const Row& row) const;
  std::string describe(const Row& row, const std::vector<double>& runs) const;

  std::string title_;
  std::string baselineName_;
  std::vector<Row> rows_;
  std::map<std::string, std::vector<double>> server_;
  std::map<std::string, std::vector<double>> baseline_;
  std::vector<std::string> notes_;
};

}  // namespace quorvane
