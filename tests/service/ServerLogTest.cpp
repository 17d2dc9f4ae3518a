// The server log. Guards against entries lost, cut or mixed, a log that follows a link, and a
// reopen that loses the file.
#include "service/ServerLog.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quorvane {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;

std::vector<std::string> splitLines(const std::string& content) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = content.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(content.substr(start, end - start));
  }
  EXPECT_EQ(start, content.size()) << "text after the last line feed";
  return lines;
}

// The messages of the entries in `content`, without their prefixes.
std::vector<std::string> messages(const std::string& content) {
  std::vector<std::string> lines = splitLines(content);
  for (std::string& line : lines) line.erase(0, ServerLog::prefix(std::tm{}).size());
  return lines;
}

std::tm localTime(int year, int month, int day, int hour, int minute) {
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  return local;
}

// The process's log, created by the first call inside a fresh directory holding a stale log, so
// that the run leaves nothing in the working directory and the creation can be checked.
struct CreatedLog {
  ServerLog* log;
  fs::path dir;
  bool truncated;
  bool earlier;  // another test of this process had created the log already
};

const CreatedLog& createdLog() {
  static const CreatedLog created = [] {
    fs::path dir = test::makeTempDirectory("created");
    writeFile(dir / ServerLog::kFileName, "stale entry\n");
    fs::path previous = fs::current_path();
    fs::current_path(dir);
    ServerLog* log = &ServerLog::instance();
    fs::current_path(previous);
    bool truncated = fs::exists(dir / ServerLog::kFileName) &&
                     fs::file_size(dir / ServerLog::kFileName) == 0;
    bool earlier = readFile(dir / ServerLog::kFileName) == "stale entry\n";
    return CreatedLog{log, dir, truncated, earlier};
  }();
  return created;
}

class ServerLogTest : public testing::Test {
 protected:
  void SetUp() override { dir_ = test::makeTempDirectory("log"); }
  void TearDown() override {
    // Closes whatever file the log holds, so the directories can go.
    log().useFile((dir_ / "missing" / "closed.log").string());
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
    fs::remove_all(createdLog().dir, ignored);
  }

  static ServerLog& log() { return *createdLog().log; }

  fs::path dir_;
};

TEST_F(ServerLogTest, PrefixPadsTheDayWithABlank) {
  EXPECT_EQ(ServerLog::prefix(localTime(2026, 1, 1, 23, 7)), "2026/01/ 1 23:07 - ");
  EXPECT_EQ(ServerLog::prefix(localTime(2026, 10, 3, 9, 5)), "2026/10/ 3 09:05 - ");
  EXPECT_EQ(ServerLog::prefix(localTime(1999, 12, 25, 0, 0)), "1999/12/25 00:00 - ");
}

TEST_F(ServerLogTest, InstanceStartsAFreshLogInTheCurrentDirectory) {
  const CreatedLog& created = createdLog();
  EXPECT_EQ(&ServerLog::instance(), created.log);
  EXPECT_EQ(ServerLog::created(), created.log);
  if (created.earlier) GTEST_SKIP() << "the log was created before this test";
  EXPECT_TRUE(created.truncated);
}

TEST_F(ServerLogTest, WritesWholeLinesWithTheCurrentTimeAndTruncates) {
  fs::path first = dir_ / "first.log";
  fs::path second = dir_ / "second.log";
  writeFile(first, "earlier run\r\n");
  log().useFile(first.string());
  EXPECT_EQ(readFile(first), "");

  std::time_t now = std::time(nullptr);
  std::string before = ServerLog::prefix(*std::localtime(&now));
  log().write("Server started.");
  log().write("");
  // A line break inside a message must not start a forged entry.
  log().write("User #3 \"a\r\n2026/01/ 1 00:00 - forged\"");
  now = std::time(nullptr);
  std::string after = ServerLog::prefix(*std::localtime(&now));

  std::vector<std::string> expected = {
      "Server started.", "", "User #3 \"a\\r\\n2026/01/ 1 00:00 - forged\""};
  std::vector<std::string> lines = splitLines(readFile(first));
  ASSERT_EQ(lines.size(), expected.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_TRUE(lines[i] == before + expected[i] || lines[i] == after + expected[i]) << lines[i];
  }

  log().useFile(second.string());
  log().write("next");
  EXPECT_EQ(splitLines(readFile(first)).size(), expected.size());
  ASSERT_EQ(splitLines(readFile(second)).size(), 1u);
}

TEST_F(ServerLogTest, AFileThatCannotBeOpenedDropsEntries) {
  fs::path missing = dir_ / "no-such-directory" / "x.log";
  log().useFile(missing.string());
  log().write("dropped");
  EXPECT_FALSE(fs::exists(missing));

  // A reopen tries again.
  fs::create_directories(missing.parent_path());
  log().reopen();
  log().write("kept");
  EXPECT_EQ(messages(readFile(missing)), std::vector<std::string>{"kept"});
}

#ifndef _WIN32
// A log that is open can be renamed here; Windows, which has no SIGHUP, never reopens it.
TEST_F(ServerLogTest, ReopenAppendsAndFollowsARenamedLog) {
  fs::path file = dir_ / "rotated.log";
  fs::path renamed = dir_ / "rotated.log.1";
  log().useFile(file.string());
  log().write("first");
  log().reopen();
  log().write("second");
  fs::rename(file, renamed);
  log().write("written before the reopen");
  log().reopen();
  log().write("third");
  EXPECT_EQ(messages(readFile(renamed)),
            (std::vector<std::string>{"first", "second", "written before the reopen"}));
  EXPECT_EQ(messages(readFile(file)), std::vector<std::string>{"third"});
}

// Root may write a log in a directory the service account can write: whatever that account puts
// at the log's name in place of a plain file is refused, on the first open and on a reopen, and
// the file it points to is neither emptied nor written.
TEST_F(ServerLogTest, AsRootTheLogIsNeverALinkOrAFifo) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  const fs::path target = dir_ / "precious";
  const fs::path nowhere = dir_ / "nowhere";
  writeFile(target, "precious\n");
  const std::vector<std::pair<const char*, std::function<void(const fs::path&)>>> cases = {
      {"symbolic link", [&](const fs::path& at) { fs::create_symlink(target, at); }},
      {"dangling link", [&](const fs::path& at) { fs::create_symlink(nowhere, at); }},
      {"hard link", [&](const fs::path& at) { fs::create_hard_link(target, at); }},
      {"fifo", [](const fs::path& at) { ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); }},
  };
  for (const auto& [kind, make] : cases) {
    const fs::path at = dir_ / (std::string(kind) + ".log");
    make(at);
    log().useFile(at.string());
    log().write("dropped");
    log().reopen();
    log().write("dropped too");
    EXPECT_EQ(readFile(target), "precious\n") << kind;
    EXPECT_FALSE(fs::exists(nowhere)) << kind;
  }
  const fs::path plain = dir_ / "plain.log";
  log().useFile(plain.string());
  log().write("kept");
  EXPECT_EQ(messages(readFile(plain)), std::vector<std::string>{"kept"});
}
#endif

// Reopens (SIGHUP) among the writers lose and tear no entry either.
TEST_F(ServerLogTest, ConcurrentWritersAndReopensNeverInterleave) {
  constexpr int kThreads = 8;
  constexpr int kEntries = 300;
  fs::path file = dir_ / "concurrent.log";
  log().useFile(file.string());

  // Long messages, so that a torn write would show.
  auto message = [](int t, int n) {
    return "thread " + std::to_string(t) + " entry " + std::to_string(n) + std::string(200, 'x');
  };
  std::set<std::string> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int n = 0; n < kEntries; ++n) expected.insert(message(t, n));
  }
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t, &message] {
      for (int n = 0; n < kEntries; ++n) log().write(message(t, n));
    });
  }
  std::thread reopener([] {
    for (int n = 0; n < kEntries; ++n) log().reopen();
  });
  for (std::thread& writer : writers) writer.join();
  reopener.join();

  const std::regex prefixPattern(R"(\d{4}/\d\d/[ \d]\d \d\d:\d\d - )");
  std::vector<std::string> lines = splitLines(readFile(file));
  ASSERT_EQ(lines.size(), expected.size());
  for (const std::string& line : lines) {
    ASSERT_TRUE(std::regex_match(line.substr(0, 19), prefixPattern)) << line;
    ASSERT_EQ(expected.erase(line.substr(19)), 1u) << line;
  }
  EXPECT_TRUE(expected.empty());
}

}  // namespace
}  // namespace quorvane
