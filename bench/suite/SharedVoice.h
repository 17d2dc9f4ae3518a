// UDP sockets that send the voice hellos of many users, so that thousands of clients share a few
// voice endpoints and the bench needs no descriptor per client for them: one socket per address
// the clients' connections come from, since the server honours a hello only from the address of
// the named user's own connection. Resends the hellos that are not answered. One thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace quorvane {

class SharedVoice {
 public:
  // A user's hello and the socket (the index of its address in open) it comes from.
  struct Hello {
    int id = 0;
    std::size_t socket = 0;
  };

  SharedVoice() = default;
  ~SharedVoice();
  SharedVoice(const SharedVoice&) = delete;
  SharedVoice& operator=(const SharedVoice&) = delete;

  // Binds a socket to each of `localAddresses`, all aimed at the subject's sound port; false
  // when one fails.
  bool open(const std::vector<std::string>& localAddresses, int soundPort);

  // Sends every hello, at most `window` unanswered at a time, and resends those left
  // unanswered, until all are answered or the deadline passes; the number answered.
  std::size_t confirm(const std::vector<Hello>& hellos, std::size_t window,
                      std::chrono::steady_clock::time_point deadline);

 private:
  void send(const Hello& hello);
  // Reads every waiting reply, marking the ids answered; the number newly answered.
  std::size_t readReplies(std::vector<char>& answered);

  std::vector<int> sockets_;
};

}  // namespace quorvane
