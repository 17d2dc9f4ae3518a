// The attack tool: its reading of the kernel's socket table, its command line, and a quick run
// against the built server that makes every measurement and prints every part of the report.
// Guards against an attack tool whose figures or report miss a measurement.
#include <gtest/gtest.h>

#include <string>

#include "attack/AttackOptions.h"
#include "attack/ServerProbe.h"
#include "ToolRun.h"

namespace quorvane {
namespace {

int runAttack(const std::string& arguments, std::string& output) {
  return test::runTool(QUORVANE_ATTACK_PROGRAM, arguments, output);
}

TEST(AttackProbeTest, SendQueueCountsTheServersConnectionsOnly) {
  // Port 10300 is 283C; 10301 is 283D. The columns as /proc/net/tcp writes them.
  const std::string table =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid\n"
      "   0: 00000000:283C 00000000:0000 0A 00000000:00000005 00:00000000 00000000     0\n"
      "   1: 0100007F:283C 0200007F:9C40 01 00010000:00000000 01:00000014 00000000     0\n"
      "   2: 0100007F:283C 0300007F:9C41 01 000000FF:00000000 00:00000000 00000000     0\n"
      "   3: 0200007F:9C40 0100007F:283C 01 00000100:00002000 00:00000000 00000000     0\n"
      "   4: 0100007F:283D 0200007F:9C42 01 00001000:00000000 00:00000000 00000000     0\n"
      "   5: 0100007F:283C 0200007F:9C43 08 00000001:00000000 00:00000000 00000000     0\n";
  // The listener (0A) and the client ends (remote port 283C) and other ports are left out;
  // every other state of the server's end counts.
  EXPECT_EQ(probe::sendQueueOfTable(table, 10300), 0x10000u + 0xFFu + 1u);
  EXPECT_EQ(probe::sendQueueOfTable(table, 10301), 0x1000u);
  EXPECT_EQ(probe::sendQueueOfTable(table, 40000), 0x100u);
  EXPECT_EQ(probe::sendQueueOfTable("heading only\n", 10300), 0u);
}

TEST(AttackOptionsTest, QuickSizesGiveWayToSizesGiven) {
  AttackOptions options;
  std::string error;
  const char* arguments[] = {"quorvane-attack", "--listeners", "7", "--server", "program",
                             "--quick"};
  ASSERT_TRUE(options.parse(6, const_cast<char**>(arguments), error)) << error;
  EXPECT_TRUE(options.quick);
  EXPECT_EQ(options.listeners, 7u);
  EXPECT_LT(options.victimSeconds, AttackOptions().victimSeconds);
  EXPECT_EQ(options.serverProgram.front(), '/');
}

TEST(AttackToolTest, RejectsWhatItCannotRun) {
  for (const char* arguments : {"--frobnicate 1", "--port 10300", "--server x --listeners 251",
                                "--server x --flood-seconds soon"}) {
    std::string output;
    EXPECT_EQ(runAttack(arguments, output), 2) << arguments;
    EXPECT_NE(output.find("usage:"), std::string::npos) << output;
  }
}

TEST(AttackToolTest, QuickRunMakesEveryMeasurement) {
  std::string output;
  const int status = runAttack(std::string("--quick --server ") + QUORVANE_PROGRAM, output);
  EXPECT_EQ(status, 0) << output;
  // The figures of a quick run mean nothing; every part of the report is there.
  for (const char* part : {"(1) ", "\"changenick\"", "1.9 kB messages", "joins that create",
                           "(2) ", "  victim: ", "(3) ", "  logins from 127.0.0.7", "(4) ",
                           "resident memory + Send-Q", "(5) ", "wrong passwords answered",
                           "The log's growth", "targets: ", "every measurement completed"}) {
    EXPECT_NE(output.find(part), std::string::npos) << part << "\n" << output;
  }
  EXPECT_EQ(output.find("FAILED"), std::string::npos) << output;
}

}  // namespace
}  // namespace quorvane
