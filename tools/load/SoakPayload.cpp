#include "load/SoakPayload.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace quorvane {

namespace {

// A small deterministic generator (splitmix64), so sender and receiver derive the same filler.
class Filler {
 public:
  explicit Filler(const SoakStamp& stamp)
      : state_((std::uint64_t{stamp.sender} << 32) ^ stamp.sequence ^
               (std::uint64_t{stamp.recipient} << 16) ^
               (static_cast<std::uint64_t>(stamp.senderId) << 48)) {}

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

 private:
  std::uint64_t state_;
};

// One piece of text from a random number: never a lone line feed, a NUL, a backslash before
// anything but "x" (so no piece reads as an escape) or a trailing backslash.
void appendPiece(std::string& text, std::uint64_t r) {
  switch (r % 16) {
    case 0: text += '"'; break;
    case 1: text += "\r\n"; break;
    case 2: text += "\\x"; break;
    case 3: text += ' '; break;
    case 4: case 5: text += static_cast<char>(0xA0 + (r >> 8) % 0x60); break;
    default: text += static_cast<char>('!' + (r >> 8) % 59); break;  // '!'..'[', no backslash
  }
}

void appendNumber(std::string& text, std::uint64_t value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  text.append(digits, result.ptr);
  text += ' ';
}

// Reads "<decimal> " from the front of `text`.
bool readNumber(std::string_view& text, std::uint64_t& value) {
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec != std::errc() || result.ptr == text.data() + text.size() || *result.ptr != ' ') {
    return false;
  }
  text.remove_prefix(static_cast<std::size_t>(result.ptr - text.data()) + 1);
  return true;
}

void putWord(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t getWord(const std::uint8_t* at) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= std::uint32_t{at[i]} << (8 * i);
  return value;
}

}  // namespace

std::string SoakPayload::messageText(const SoakStamp& stamp) {
  std::string text = "soak ";
  appendNumber(text, stamp.sender);
  appendNumber(text, stamp.sequence);
  appendNumber(text, stamp.recipient);
  appendNumber(text, static_cast<std::uint64_t>(stamp.senderId));
  Filler filler(stamp);
  for (std::uint64_t n = 8 + filler.next() % 40; n > 0; --n) appendPiece(text, filler.next());
  return text;
}

bool SoakPayload::readMessageText(std::string_view text, SoakStamp& out) {
  std::string_view rest = text;
  if (!rest.starts_with("soak ")) return false;
  rest.remove_prefix(5);
  std::uint64_t values[4];
  for (std::uint64_t& value : values) {
    if (!readNumber(rest, value) || value > 0xFFFFFFFFu) return false;
  }
  const SoakStamp stamp{static_cast<std::uint32_t>(values[0]),
                        static_cast<std::uint32_t>(values[1]),
                        static_cast<std::uint32_t>(values[2]), static_cast<int>(values[3])};
  if (messageText(stamp) != text) return false;
  out = stamp;
  return true;
}

// Layout: 0 kind, 1-3 filler, 4 recipient id, 5-8 sender, 9-12 sequence, 13-16 recipient,
// 17-18 sender id, 19-149 filler.
VoiceDatagram SoakPayload::voice(const SoakStamp& stamp, int recipientId) {
  VoiceDatagram bytes{};
  Filler filler(stamp);
  for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(filler.next());
  putWord(&bytes[5], stamp.sender);
  putWord(&bytes[9], stamp.sequence);
  putWord(&bytes[13], stamp.recipient);
  bytes[17] = static_cast<std::uint8_t>(stamp.senderId & 0xFF);
  bytes[18] = static_cast<std::uint8_t>((stamp.senderId >> 8) & 0xFF);
  return voiceDatagram(recipientId, bytes);
}

bool SoakPayload::readVoice(std::span<const std::uint8_t> bytes, SoakStamp& out) {
  if (bytes.size() != kVoiceDatagramSize || bytes[0] != kForwardedKind) return false;
  const SoakStamp stamp{getWord(&bytes[5]), getWord(&bytes[9]), getWord(&bytes[13]),
                        bytes[17] | (bytes[18] << 8)};
  const VoiceDatagram expected = voice(stamp, bytes[4]);
  if (!std::equal(expected.begin() + 1, expected.end(), bytes.begin() + 1)) return false;
  out = stamp;
  return true;
}

std::string SoakPayload::randomText(std::mt19937_64& random, std::size_t length) {
  std::string text;
  while (text.size() < length) appendPiece(text, random());
  return text;
}

}  // namespace quorvane
