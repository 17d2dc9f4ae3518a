// Scenarios (1) to (3): voice forwarding at full rate with 1 and 4 senders, at a fixed rate, and
// one round trip at a time, against the server or the relay baseline, with 4 receivers.
#pragma once

#include <memory>

#include "client/ProtocolClient.h"
#include "suite/Family.h"
#include "suite/VoiceFlood.h"

namespace quorvane {

class VoiceFamily : public Family {
 public:
  explicit VoiceFamily(const BenchOptions& options);

  std::string name() const override { return "voice"; }
  Subject::Kind baseline() const override { return Subject::Kind::RelayBaseline; }
  // Measures the bench's senders and receiver alone, without a subject between them.
  void prepare() override;
  bool run(Subject& subject, Figures& figures, std::string& error) override;

 private:
  // Receivers that the subject knows: users of the server (a connection and a confirmed hello),
  // or ids announced to the relay with a hello. Their sockets go into `endpoints`.
  // The relay's receiver sockets are added to `ownSockets`, which the caller closes.
  bool makeReceivers(Subject& subject, VoiceEndpoints& endpoints,
                     std::vector<std::unique_ptr<ProtocolClient>>& users,
                     std::vector<int>& ownSockets, std::string& error);
  void measureFullRate(Subject& subject, VoiceEndpoints& endpoints, std::size_t senders,
                       Figures& figures);
  void measureFixedRate(Subject& subject, VoiceEndpoints& endpoints, Figures& figures);
};

}  // namespace quorvane
