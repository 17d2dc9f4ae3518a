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
  // The receivers and senders, each a socket on its own loopback address that the subject
  // knows: for the server, a user logged in from that address into the root channel whose
  // confirmed voice endpoint the socket is (the clients go into `users`); for the relay, an id
  // announced with a hello. The sockets go into `endpoints`, which the caller closes.
  bool makeEndpoints(Subject& subject, VoiceEndpoints& endpoints,
                     std::vector<std::unique_ptr<ProtocolClient>>& users, std::string& error);
  void measureFullRate(Subject& subject, VoiceEndpoints& endpoints, std::size_t senders,
                       Figures& figures);
  void measureFixedRate(Subject& subject, VoiceEndpoints& endpoints, Figures& figures);
};

}  // namespace quorvane
