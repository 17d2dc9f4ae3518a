#include "suite/BenchSuite.h"

#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>

#include "suite/CapacityFamily.h"
#include "suite/LoginFamily.h"
#include "suite/PingFamily.h"
#include "suite/Stats.h"
#include "suite/VoiceFamily.h"
#include "suite/VoiceLoadFamily.h"

namespace quorvane {

namespace {

using Clock = std::chrono::steady_clock;

const char* kindName(Subject::Kind kind) {
  switch (kind) {
    case Subject::Kind::Server: return "server";
    case Subject::Kind::RelayBaseline: return "relay baseline";
    case Subject::Kind::PingBaseline: return "line baseline";
  }
  return "";
}

// The longest wait for a subject to end after it was asked to, before it is killed.
constexpr double kStopPatience = 10;

// Worth a mention when stopping took long.
std::string stopTime(double seconds) {
  if (seconds < 1) return "";
  char text[64];
  std::snprintf(text, sizeof text, " - the server took %.1f s to stop", seconds);
  return text;
}

}  // namespace

BenchSuite::BenchSuite(const BenchOptions& options) : options_(options) {
  if (options.wants("voice")) families_.push_back(std::make_unique<VoiceFamily>(options));
  if (options.wants("voiceload")) {
    families_.push_back(std::make_unique<VoiceLoadFamily>(options));
  }
  if (options.wants("ping")) families_.push_back(std::make_unique<PingFamily>(options));
  if (options.wants("login")) families_.push_back(std::make_unique<LoginFamily>(options));
  if (options.wants("capacity")) families_.push_back(std::make_unique<CapacityFamily>(options));
}

const std::string& BenchSuite::programOf(Subject::Kind kind) const {
  switch (kind) {
    case Subject::Kind::RelayBaseline: return options_.relayProgram;
    case Subject::Kind::PingBaseline: return options_.pingProgram;
    case Subject::Kind::Server: break;
  }
  return options_.serverProgram;
}

void BenchSuite::printHeader() const {
  utsname system{};
  ::uname(&system);
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  std::string load;
  std::getline(std::ifstream("/proc/loadavg"), load);
  const std::time_t now = std::time(nullptr);
  char date[64];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M", std::localtime(&now));
  std::printf("quorvane-bench %s: %ld CPUs, Linux %s, open-file limit %llu, load average %s\n",
              date, ::sysconf(_SC_NPROCESSORS_ONLN), system.release,
              static_cast<unsigned long long>(limit.rlim_max), load.c_str());
  std::printf("Each scenario runs %d times on the server and on its baseline in turn, each run on "
              "a freshly started program;\nfigures are median [min..max] over the runs, ratios "
              "are server / baseline of the medians.\n",
              options_.repeat);
  std::fflush(stdout);
}

bool BenchSuite::run() {
  printHeader();
  const Clock::time_point start = Clock::now();
  bool complete = true;
  for (const auto& family : families_) {
    family->prepare();
    for (int round = 1; round <= options_.repeat; ++round) {
      complete = runOnce(*family, Subject::Kind::Server, round) && complete;
      if (family->baseline() != Subject::Kind::Server) {
        complete = runOnce(*family, family->baseline(), round) && complete;
      }
    }
    for (const ResultTable& table : family->tables()) table.print(stdout, passed_, missed_);
    std::printf("\n");
  }
  std::printf("targets: %d met, %d missed; %s in %.0f s\n", passed_, missed_,
              complete ? "every run completed" : "SOME RUNS FAILED", secondsSince(start));
  std::fflush(stdout);
  return complete;
}

bool BenchSuite::runOnce(Family& family, Subject::Kind kind, int round) {
  const Clock::time_point start = Clock::now();
  std::printf("  %s %d/%d %s: ", family.name().c_str(), round, options_.repeat, kindName(kind));
  std::fflush(stdout);
  std::string error;
  std::string warning;
  std::unique_ptr<Subject> subject = Subject::start(kind, programOf(kind), error);
  Figures figures;
  bool made = subject != nullptr && family.run(*subject, figures, error);
  if (subject != nullptr && !subject->alive()) {
    made = false;
    error = "the program ended during the run; it printed: " + subject->console();
  }
  if (subject != nullptr) {
    const Clock::time_point stopping = Clock::now();
    const int status = subject->stop(kStopPatience);
    // The server's console run ends with exit code 1 when it stopped cleanly.
    if (kind == Subject::Kind::Server &&
        !(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 1)) {
      warning = status < 0 ? " - the server did not stop within " +
                                 std::to_string(static_cast<int>(kStopPatience)) +
                                 " s of SIGINT and was killed"
                           : " - the server ended with status " + std::to_string(status);
    } else if (kind == Subject::Kind::Server) {
      warning = stopTime(secondsSince(stopping));
    }
  }
  for (ResultTable& table : family.tables()) table.record(kind == Subject::Kind::Server, figures);
  std::printf("%s (%.1f s)%s\n", made ? "done" : ("FAILED: " + error).c_str(), secondsSince(start),
              warning.c_str());
  std::fflush(stdout);
  return made;
}

}  // namespace quorvane
