#include "attack/ServerProbe.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace quorvane::probe {

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

std::uint64_t residentBytes(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

std::uint64_t sendQueueOfTable(const std::string& table, int port) {
  std::istringstream lines(table);
  std::string line;
  std::getline(lines, line);  // the heading
  std::uint64_t total = 0;
  while (std::getline(lines, line)) {
    // sl local_address rem_address st tx_queue:rx_queue ...
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues;
    if (!(fields >> slot >> local >> remote >> state >> queues)) continue;
    const std::size_t colon = local.rfind(':');
    const std::size_t split = queues.find(':');
    if (colon == std::string::npos || split == std::string::npos || state == "0A") continue;
    if (std::stoi(local.substr(colon + 1), nullptr, 16) != port) continue;
    total += std::stoull(queues.substr(0, split), nullptr, 16);
  }
  return total;
}

std::uint64_t sendQueueBytes(int port) {
  return sendQueueOfTable(readFile("/proc/net/tcp"), port) +
         sendQueueOfTable(readFile("/proc/net/tcp6"), port);
}

std::uint64_t hostTcpBytes() {
  std::istringstream lines(readFile("/proc/net/sockstat"));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("TCP:", 0) != 0) continue;
    const std::size_t at = line.find(" mem ");
    if (at == std::string::npos) return 0;
    return std::stoull(line.substr(at + 5)) * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  }
  return 0;
}

std::uint64_t fileBytes(const std::string& path) {
  std::error_code failure;
  const std::uintmax_t size = std::filesystem::file_size(path, failure);
  return failure ? 0 : static_cast<std::uint64_t>(size);
}

std::string loadAverage() {
  std::string text;
  std::getline(std::ifstream("/proc/loadavg"), text);
  return text;
}

}  // namespace quorvane::probe
