// One thread of a load run: a ClientLoop and the SoakClients it serves. Created and joined by
// the LoadRun; after the join its clients may be read from the run's thread.
#pragma once

#include <atomic>
#include <barrier>
#include <memory>
#include <thread>
#include <vector>

#include "client/ClientLoop.h"
#include "load/SoakClient.h"

namespace quorvane {

class LoadWorker {
 public:
  using Clock = ClientLoop::Clock;

  // Clients `first`, `first + step`, ... below options.clients.
  LoadWorker(PeerDirectory& peers, LoadStats& stats, const LoadOptions& options, int first,
             int step);
  ~LoadWorker();
  LoadWorker(const LoadWorker&) = delete;
  LoadWorker& operator=(const LoadWorker&) = delete;

  // Starts the thread: logins spread from `start` over the ramp, actions until `end`, then two
  // drain rounds that every worker finishes together (`rounds`), then each client quits.
  void start(Clock::time_point start, Clock::time_point end, std::barrier<>& rounds);
  void join();
  bool valid() const { return loop_.valid(); }
  // True once the thread has done all its work.
  bool finished() const { return finished_; }

  const std::vector<std::unique_ptr<SoakClient>>& clients() const { return clients_; }

 private:
  void run(Clock::time_point start, Clock::time_point end, std::barrier<>& rounds);
  void drain();

  const LoadOptions& options_;
  ClientLoop loop_;
  std::vector<int> indexes_;
  std::vector<std::unique_ptr<SoakClient>> clients_;
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace quorvane
