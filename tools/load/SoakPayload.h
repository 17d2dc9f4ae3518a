// What the load run's text messages and voice datagrams carry: the sending session, a sequence
// number and the intended recipient, followed by filler derived from them, so a receiver can
// check every byte it gets. Stateless.
#pragma once

#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <string_view>

#include "client/VoiceDatagrams.h"

namespace quorvane {

struct SoakStamp {
  std::uint32_t sender = 0;     // session key of the sender
  std::uint32_t sequence = 0;
  std::uint32_t recipient = 0;  // session key of the recipient; 0 for a channel
  int senderId = 0;             // the sender's user id
};

class SoakPayload {
 public:
  // "soak <sender> <sequence> <recipient> <id> " and filler holding quotation marks, CR LF
  // pairs, backslashes and bytes above 127, which the escaping must carry.
  static std::string messageText(const SoakStamp& stamp);
  // False when the text is not exactly what its own stamp produces.
  static bool readMessageText(std::string_view text, SoakStamp& out);

  // A kind-5 datagram for `recipientId`.
  static VoiceDatagram voice(const SoakStamp& stamp, int recipientId);
  // For a forwarded (kind-4) datagram: false unless it is 150 bytes and every byte but the
  // first is what its stamp produces.
  static bool readVoice(std::span<const std::uint8_t> bytes, SoakStamp& out);

  // Random text of the same alphabet (for nicks and status messages).
  static std::string randomText(std::mt19937_64& random, std::size_t length);
};

}  // namespace quorvane
