// The 150-byte voice datagrams a client sends, and the test of the server's hello reply.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace quorvane {

inline constexpr std::size_t kVoiceDatagramSize = 150;
using VoiceDatagram = std::array<std::uint8_t, kVoiceDatagramSize>;

// Byte 0 of each kind.
inline constexpr std::uint8_t kHelloKind = 1;
inline constexpr std::uint8_t kHelloReplyKind = 2;
inline constexpr std::uint8_t kKeepAliveKind = 3;
inline constexpr std::uint8_t kForwardedKind = 4;
inline constexpr std::uint8_t kToForwardKind = 5;

// Kind 1: 1, `confirm` (at most 2 confirms the voice path), the user id little-endian, zeros.
VoiceDatagram helloDatagram(int userId, std::uint8_t confirm = 2);
// Kind 5: `payload` with byte 0 set to 5 and byte 4 to the recipient (ids 1..255 only).
VoiceDatagram voiceDatagram(int recipientId, const VoiceDatagram& payload);
// True for the server's answer to our hello: 150 bytes starting 2, 2, id low, id high.
bool isHelloReply(std::span<const std::uint8_t> bytes, int userId);
// True for a keep-alive: 150 bytes starting 3, 2, 0, 0.
bool isKeepAlive(std::span<const std::uint8_t> bytes);

}  // namespace quorvane
