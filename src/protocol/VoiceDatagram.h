// The voice datagrams: exactly kDatagramSize bytes, the kind in byte 0. A hello (client to
// server) carries the sender's user id in bytes 2 and 3 (low byte first) and confirms the voice
// path when byte 1 is at most 2; the server answers with a hello reply echoing the id. Voice to
// forward names its recipient (0 to 255) in byte 4 and goes on with only its kind changed. The
// server's own datagrams carry nothing beyond byte 3.
#pragma once

#include <cstdint>

namespace quorvane {

inline constexpr int kDatagramSize = 150;

enum DatagramKind : std::uint8_t {
  kVoiceHello = 1,
  kVoiceHelloReply = 2,
  kVoiceKeepAlive = 3,
  kVoiceForwarded = 4,
  kVoiceToForward = 5,
};

inline int helloId(const std::uint8_t* datagram) { return datagram[2] + 256 * datagram[3]; }
inline bool helloConfirms(const std::uint8_t* datagram) { return datagram[1] <= 2; }
inline int forwardRecipient(const std::uint8_t* datagram) { return datagram[4]; }

// The server's own datagrams, whole.
inline void makeHelloReply(std::uint8_t* out, int id) {
  for (int i = 0; i < kDatagramSize; ++i) out[i] = 0;
  out[0] = kVoiceHelloReply;
  out[1] = 2;
  out[2] = static_cast<std::uint8_t>(id & 0xFF);
  out[3] = static_cast<std::uint8_t>(id >> 8);
}

inline void makeKeepAlive(std::uint8_t* out) {
  for (int i = 0; i < kDatagramSize; ++i) out[i] = 0;
  out[0] = kVoiceKeepAlive;
  out[1] = 2;
}

}  // namespace quorvane
