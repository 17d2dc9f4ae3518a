// One UDP socket that sends the voice hello for many users, so that thousands of clients share
// one voice endpoint and the bench needs no descriptor per client for it. Resends the hellos that
// are not answered. One thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace quorvane {

class SharedVoice {
 public:
  SharedVoice() = default;
  ~SharedVoice();
  SharedVoice(const SharedVoice&) = delete;
  SharedVoice& operator=(const SharedVoice&) = delete;

  // Binds to `localAddress` and aims at the subject's sound port; false when that fails.
  bool open(const std::string& localAddress, int soundPort);

  // Sends the hello of every id, at most `window` unanswered at a time, and resends those left
  // unanswered, until all are answered or the deadline passes; the number answered.
  std::size_t confirm(const std::vector<int>& ids, std::size_t window,
                      std::chrono::steady_clock::time_point deadline);

 private:
  // Reads every waiting reply, marking the ids answered; the number newly answered.
  std::size_t readReplies(std::vector<char>& answered);

  int fd_ = -1;
};

}  // namespace quorvane
