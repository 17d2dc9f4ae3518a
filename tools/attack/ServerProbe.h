// What the server costs the host, read from /proc: its resident memory, the bytes waiting in
// the send queues of its sockets, the kernel's TCP memory in all, and the size of its log.
// Stateless readers; any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace quorvane::probe {

// VmRSS of the process in bytes; 0 when it cannot be read.
std::uint64_t residentBytes(pid_t pid);
// The Send-Q of every connection whose local port is `port` (the server's end of its client
// connections): bytes queued in the kernel that the peer has not taken yet.
std::uint64_t sendQueueBytes(int port);
// The memory the kernel's TCP sockets use on the whole host (the "mem" pages of sockstat).
std::uint64_t hostTcpBytes();
// The file's size in bytes; 0 when it does not exist.
std::uint64_t fileBytes(const std::string& path);
// The machine's load average as /proc/loadavg gives it.
std::string loadAverage();

// The sum of the Send-Q column (tx_queue, hex) of the lines of a /proc/net/tcp table whose local
// port is `port`, listening sockets left out. Separate for the tests.
std::uint64_t sendQueueOfTable(const std::string& table, int port);

}  // namespace quorvane::probe
