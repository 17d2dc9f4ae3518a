#include "ToolRun.h"

#include <sys/wait.h>

#include <cstdio>

namespace quorvane::test {

int runTool(const std::string& program, const std::string& arguments, std::string& output) {
  const std::string command = program + " " + arguments + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, n);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace quorvane::test
