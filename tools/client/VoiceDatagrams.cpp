#include "client/VoiceDatagrams.h"

namespace quorvane {

VoiceDatagram helloDatagram(int userId, std::uint8_t confirm) {
  VoiceDatagram bytes{};
  bytes[0] = kHelloKind;
  bytes[1] = confirm;
  bytes[2] = static_cast<std::uint8_t>(userId & 0xFF);
  bytes[3] = static_cast<std::uint8_t>((userId >> 8) & 0xFF);
  return bytes;
}

VoiceDatagram voiceDatagram(int recipientId, const VoiceDatagram& payload) {
  VoiceDatagram bytes = payload;
  bytes[0] = kToForwardKind;
  bytes[4] = static_cast<std::uint8_t>(recipientId);
  return bytes;
}

bool isHelloReply(std::span<const std::uint8_t> bytes, int userId) {
  return bytes.size() == kVoiceDatagramSize && bytes[0] == kHelloReplyKind && bytes[1] == 2 &&
         bytes[2] == (userId & 0xFF) && bytes[3] == ((userId >> 8) & 0xFF);
}

bool isKeepAlive(std::span<const std::uint8_t> bytes) {
  return bytes.size() == kVoiceDatagramSize && bytes[0] == kKeepAliveKind && bytes[1] == 2 &&
         bytes[2] == 0 && bytes[3] == 0;
}

}  // namespace quorvane
