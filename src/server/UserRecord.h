// The properties of a user that other clients are told about: what the client announced and
// what the server learned of its voice endpoint. Guarded by the loop lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>


namespace quorvane {

class Channel;

class UserRecord {
 public:
  explicit UserRecord(int id) : id_(id) {}
  virtual ~UserRecord() = default;

  int id() const { return id_; }
  void setNick(std::string nick) {
    nick_ = std::move(nick);
    changed();
  }
  const std::string& nick() const { return nick_; }
  void setEncodedFrameSize(int value) {
    encodedFrameSize_ = value;
    changed();
  }
  int encodedFrameSize() const { return encodedFrameSize_; }
  void setFramesPerPacket(int value) {
    framesPerPacket_ = value;
    changed();
  }
  int framesPerPacket() const { return framesPerPacket_; }
  void setFrameSize(int value) {
    frameSize_ = value;
    changed();
  }
  int frameSize() const { return frameSize_; }
  void setBandMode(int value) {
    bandMode_ = value;
    changed();
  }
  int bandMode() const { return bandMode_; }
  void setVoiceAddress(std::string address) {
    voiceAddress_ = std::move(address);
    voiceAddressNumber_ = addressNumber(voiceAddress_);
    changed();
  }
  const std::string& voiceAddress() const { return voiceAddress_; }
  void setSoundPort(int port) {
    soundPort_ = port;
    changed();
  }
  int soundPort() const { return soundPort_; }
  // The voice address as a number (w*2^24 + x*2^16 + y*2^8 + z); 0 for none.
  std::uint32_t voiceAddressNumber() const { return voiceAddressNumber_; }
  // w.x.y.z as a number; 0 for text that is not a dotted quad.
  static std::uint32_t addressNumber(std::string_view address);
  // The dotted quad of a number.
  static std::string addressText(std::uint32_t number);
  void setChannel(Channel* channel) {
    channel_ = channel;
    changed();
  }
  Channel* channel() const { return channel_; }
  void setStatusMode(int mode) {
    statusMode_ = mode;
    changed();
  }
  int statusMode() const { return statusMode_; }
  void setStatusMessage(std::string message) {
    statusMessage_ = std::move(message);
    changed();
  }
  const std::string& statusMessage() const { return statusMessage_; }

  // The "adduser" line about this user, by its "forward" value, kept while some login's list
  // still holds it and forgotten whenever the user changes.
  std::weak_ptr<const std::string>& addUserLineCache(bool forward) const {
    return addUserLines_[forward];
  }

 private:
  void changed() {
    addUserLines_[0].reset();
    addUserLines_[1].reset();
  }

  int id_;
  int bandMode_ = -1;
  int encodedFrameSize_ = -1;
  int frameSize_ = -1;
  int framesPerPacket_ = -1;
  std::string nick_;
  std::string voiceAddress_;
  int soundPort_ = -1;
  std::uint32_t voiceAddressNumber_ = 0;
  Channel* channel_ = nullptr;
  int statusMode_ = 0;
  std::string statusMessage_;
  mutable std::weak_ptr<const std::string> addUserLines_[2];
};

}  // namespace quorvane
