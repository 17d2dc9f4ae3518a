// The counters of one load run. Shared by every worker thread (relaxed atomic additions) and
// read by the reporting thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace quorvane {

class LoadStats {
 public:
  enum Counter {
    Commands,               // lines sent
    Datagrams,              // datagrams sent (hellos and voice)
    LinesReceived,
    Logins,
    SessionsEnded,          // logged-in sessions that ended, for whatever reason
    AbruptDisconnects,      // closed on purpose without "quit"
    Quits,
    MessagesChecked,        // text messages whose stamp and sequence were checked
    StaleMessages,          // addressed to an earlier session that had the same id
    VoiceSent,
    VoiceReceived,          // forwarded datagrams that arrived with the right bytes
    VoiceStale,
    ProtocolErrors,
    LostLines,
    ReorderedLines,
    UnexpectedDisconnects,
    kCounterCount
  };
  using Figures = std::array<std::uint64_t, kCounterCount>;

  void add(Counter counter, std::uint64_t amount = 1) {
    counters_[counter].fetch_add(amount, std::memory_order_relaxed);
  }
  std::uint64_t get(Counter counter) const {
    return counters_[counter].load(std::memory_order_relaxed);
  }
  Figures snapshot() const;

  // Counts a fault and prints the first few, so a failing run says why.
  void problem(Counter counter, const std::string& text, std::uint64_t amount = 1);

 private:
  static constexpr int kPrintedProblems = 25;

  std::array<std::atomic<std::uint64_t>, kCounterCount> counters_{};
  std::atomic<int> printed_{0};
};

}  // namespace quorvane
