// Runs one of the built tools to its end through the shell, standard error merged into its
// output. A plain function; the tests that call it bound the tool's run by its own options.
#pragma once

#include <string>

namespace quorvane::test {

// Runs "`program` `arguments`"; the exit code (-1 when it ended by a signal) and everything it
// printed in `output`.
int runTool(const std::string& program, const std::string& arguments, std::string& output);

}  // namespace quorvane::test
