#include "suite/ResultTable.h"

#include <algorithm>

#include "suite/Stats.h"

namespace quorvane {

namespace {

std::string number(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string targetText(ResultTable::Check check, double limit, const std::string& unit) {
  switch (check) {
    case ResultTable::Check::RatioAtLeast: return ">= " + number(limit, 2) + "x";
    case ResultTable::Check::RatioAtMost: return "<= " + number(limit, 2) + "x";
    case ResultTable::Check::AtLeast: return ">= " + number(limit, 0) + " " + unit;
    case ResultTable::Check::AtMost: return "<= " + number(limit, 0) + " " + unit;
    case ResultTable::Check::None: break;
  }
  return "";
}

// PASS or MISS, or n/a when the figures it needs are missing.
std::string verdict(bool known, bool met) {
  if (!known) return "n/a";
  return met ? "PASS" : "MISS";
}

}  // namespace

ResultTable::ResultTable(std::string title, std::string baselineName)
    : title_(std::move(title)), baselineName_(std::move(baselineName)) {}

void ResultTable::record(bool server, const Figures& figures) {
  for (const Row& row : rows_) {
    const auto found = figures.find(row.key);
    if (found != figures.end()) (server ? server_ : baseline_)[row.key].push_back(found->second);
  }
}

std::string ResultTable::describe(const Row& row, const std::vector<double>& runs) const {
  if (runs.empty()) return "-";
  const Spread spread = spreadOf(runs);
  const double s = row.scale;
  return number(spread.median * s, row.decimals) + " [" + number(spread.min * s, row.decimals) +
         ".." + number(spread.max * s, row.decimals) + "] " + row.unit;
}

ResultTable::Cells ResultTable::cellsOf(const Row& row) const {
  static const std::vector<double> none;
  const auto server = server_.find(row.key);
  const auto baseline = baseline_.find(row.key);
  const std::vector<double>& serverRuns = server == server_.end() ? none : server->second;
  const std::vector<double>& baselineRuns = baseline == baseline_.end() ? none : baseline->second;
  Cells cells{row.label, describe(row, serverRuns), describe(row, baselineRuns), "-",
              targetText(row.check, row.limit, row.unit), ""};
  const double serverMedian = spreadOf(serverRuns).median;
  const double baselineMedian = spreadOf(baselineRuns).median;
  const bool ratioKnown = !serverRuns.empty() && !baselineRuns.empty() && baselineMedian != 0;
  const double ratio = ratioKnown ? serverMedian / baselineMedian : 0;
  if (ratioKnown) cells.ratio = number(ratio, 2) + "x";
  const double printed = serverMedian * row.scale;
  const bool serverKnown = !serverRuns.empty();
  switch (row.check) {
    case Check::None: break;
    case Check::RatioAtLeast: cells.verdict = verdict(ratioKnown, ratio >= row.limit); break;
    case Check::RatioAtMost: cells.verdict = verdict(ratioKnown, ratio <= row.limit); break;
    case Check::AtLeast: cells.verdict = verdict(serverKnown, printed >= row.limit); break;
    case Check::AtMost: cells.verdict = verdict(serverKnown, printed <= row.limit); break;
  }
  return cells;
}

void ResultTable::print(std::FILE* out, int& passed, int& missed) const {
  std::vector<Cells> lines{{"figure", "server: median [min..max]",
                            baselineName_ + ": median [min..max]", "server/base", "target", ""}};
  for (const Row& row : rows_) lines.push_back(cellsOf(row));
  std::size_t width[5] = {};
  for (const Cells& c : lines) {
    const std::string* columns[5] = {&c.label, &c.server, &c.baseline, &c.ratio, &c.target};
    for (int i = 0; i < 5; ++i) width[i] = std::max(width[i], columns[i]->size());
  }
  std::fprintf(out, "\n%s\n", title_.c_str());
  for (const Cells& c : lines) {
    char line[1024];
    std::snprintf(line, sizeof line, "  %-*s  %-*s  %-*s  %-*s  %-*s  %s",
                  static_cast<int>(width[0]), c.label.c_str(), static_cast<int>(width[1]),
                  c.server.c_str(), static_cast<int>(width[2]), c.baseline.c_str(),
                  static_cast<int>(width[3]), c.ratio.c_str(), static_cast<int>(width[4]),
                  c.target.c_str(), c.verdict.c_str());
    std::string text = line;
    text.erase(text.find_last_not_of(' ') + 1);
    std::fprintf(out, "%s\n", text.c_str());
    if (c.verdict == "PASS") ++passed;
    if (c.verdict == "MISS" || c.verdict == "n/a") ++missed;
  }
  for (const std::string& note : notes_) std::fprintf(out, "  %s\n", note.c_str());
  std::fflush(out);
}

}  // namespace quorvane
