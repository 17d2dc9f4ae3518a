#include "load/LoadWorker.h"

#include <algorithm>
#include <chrono>

namespace quorvane {

namespace {

// Time for every open request to be answered once the run stops acting.
constexpr std::chrono::seconds kDrainPatience{60};
// Time for datagrams still on their way when the last round ends.
constexpr std::chrono::milliseconds kVoiceSettling{500};

}  // namespace

LoadWorker::LoadWorker(PeerDirectory& peers, LoadStats& stats, const LoadOptions& options,
                       int first, int step)
    : options_(options) {
  const SoakClient::Context context{loop_, peers, stats, options};
  for (int index = first; index < options.clients; index += step) {
    indexes_.push_back(index);
    clients_.push_back(std::make_unique<SoakClient>(context, index));
  }
}

LoadWorker::~LoadWorker() { join(); }

void LoadWorker::start(Clock::time_point start, Clock::time_point end, std::barrier<>& rounds) {
  thread_ = std::thread([this, start, end, &rounds] { run(start, end, rounds); });
}

void LoadWorker::join() {
  if (thread_.joinable()) thread_.join();
}

void LoadWorker::run(Clock::time_point start, Clock::time_point end, std::barrier<>& rounds) {
  const auto ramp = std::chrono::duration<double>(options_.rampSeconds);
  const int total = std::max(1, options_.clients);
  for (std::size_t i = 0; i < clients_.size(); ++i) {
    const auto offset = ramp * (static_cast<double>(indexes_[i]) / total);
    clients_[i]->start(start + std::chrono::duration_cast<Clock::duration>(offset));
  }
  loop_.runUntil(end);
  // Round one: every request sent so far is answered, so the server has handled every message.
  drain();
  rounds.arrive_and_wait();
  // Round two: everything the server delivered after round one has arrived.
  drain();
  rounds.arrive_and_wait();
  loop_.runUntil(Clock::now() + kVoiceSettling);
  for (const auto& client : clients_) client->finish();
  finished_ = true;
}

void LoadWorker::drain() {
  for (const auto& client : clients_) client->beginDrain();
  loop_.runUntil(
      [this] {
        return std::all_of(clients_.begin(), clients_.end(),
                           [](const auto& client) { return client->drained(); });
      },
      Clock::now() + kDrainPatience);
}

}  // namespace quorvane
