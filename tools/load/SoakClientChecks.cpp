// What a SoakClient checks in everything it receives: the form of every line, the replies to its
// own requests in request order, its view of channels and members, the stamps and sequence of
// text messages, and the bytes of forwarded voice.
#include "load/SoakClient.h"

#include <algorithm>
#include <iterator>

namespace quorvane {

void SoakClient::fault(const std::string& what, const ServerLine* line) {
  std::string text = "client " + std::to_string(index_) + " (id " +
                     std::to_string(client_.userId()) + "): " + what;
  if (line != nullptr) text += ": " + line->text();
  context_.stats.problem(LoadStats::ProtocolErrors, text);
}

void SoakClient::onLine(ProtocolClient&, const ServerLine& line) {
  context_.stats.add(LoadStats::LinesReceived);
  if (!line.checkForm()) {
    fault("malformed line", &line);
    return;
  }
  checkLine(line);
}

void SoakClient::checkLine(const ServerLine& line) {
  if (line.is("welcome")) {
    if (welcomed_ || line.stringParam("protocol") != "2.1") fault("unexpected welcome", &line);
    welcomed_ = true;
  } else if (line.is("accepted")) {
    checkAccepted(line);
  } else if (!live_) {
    fault("before the login ended", &line);
  } else if (checkReply(line)) {
    return;
  } else if (line.is("addchannel") || line.is("updatechannel") || line.is("removechannel")) {
    checkChannelList(line);
  } else if (line.is("adduser") || line.is("updateuser") || line.is("removeuser")) {
    checkMembers(line);
  } else if (line.is("messagedeliver")) {
    checkMessage(line);
  } else if (!line.is("quit")) {
    // "quit" announces that the server stops; the disconnect that follows is counted.
    fault("unexpected line", &line);
  }
}

void SoakClient::checkAccepted(const ServerLine& line) {
  if (live_ || line.intParam("id") != client_.userId() || line.stringParam("nick") != nick_ ||
      line.stringParam("address") != client_.voiceAddress() ||
      line.intParam("soundport") != client_.voicePort()) {
    fault("accepted does not describe this client", &line);
  }
  channel_ = "/";
}

// A reply to one of this client's requests: it must answer the oldest open one.
bool SoakClient::checkReply(const ServerLine& line) {
  static const char* const kWords[] = {"pong", "pwc", "joined", "youare", "error"};
  const int kind = static_cast<int>(std::find_if(std::begin(kWords), std::end(kWords),
                                                 [&](const char* w) { return line.is(w); }) -
                                    std::begin(kWords));
  if (kind == static_cast<int>(std::size(kWords))) return false;
  if (expected_.empty()) {
    fault("reply to no request", &line);
    return true;
  }
  const Expected expected = std::move(expected_.front());
  expected_.pop_front();
  if (expected.kind != kind) {
    fault("reply out of order (waiting for " + std::string(kWords[expected.kind]) + ")", &line);
  } else if (kind == Expected::Pwc && line.stringParam("channel") != channel_) {
    fault("pwc names another channel than " + channel_, &line);
  } else if (kind == Expected::Joined && line.stringParam("channel") != expected.text) {
    fault("joined another channel than " + expected.text, &line);
  } else if (kind == Expected::Joined) {
    channel_ = expected.text;
    members_.clear();
    fromChannel_.clear();
    if (!channels_.contains(channel_)) fault("joined an unknown channel", &line);
  } else if (kind == Expected::YouAre) {
    checkYouAre(line, expected);
  } else if (kind == Expected::Error && line.intParam("number") != expected.number) {
    fault("unexpected error (waiting for " + std::to_string(expected.number) + ")", &line);
  }
  return true;
}

void SoakClient::checkYouAre(const ServerLine& line, const Expected& expected) {
  if (line.intParam("id") != client_.userId() || line.stringParam("nick") != expected.text ||
      line.stringParam("address") != client_.voiceAddress() ||
      line.intParam("soundport") != client_.voicePort()) {
    fault("youare does not describe this client", &line);
  }
}

void SoakClient::checkChannelList(const ServerLine& line) {
  const std::string path = line.stringParam("channel");
  const bool known = channels_.contains(path);
  if (line.is("addchannel")) {
    if (known) fault("addchannel for a known channel", &line);
    channels_.insert(path);
  } else if (!known) {
    fault("notice for an unknown channel", &line);
  } else if (line.is("removechannel")) {
    if (path == channel_) fault("removechannel for this client's own channel", &line);
    channels_.erase(path);
  }
}

void SoakClient::checkMembers(const ServerLine& line) {
  const int id = line.intParam("id");
  const bool known = members_.contains(id);
  if (line.stringParam("channel") != channel_) {
    fault("notice about a user of another channel than " + channel_, &line);
  } else if (line.is("adduser")) {
    if (known || id == client_.userId()) fault("adduser for a known member", &line);
    members_.insert(id);
  } else if (!known) {
    fault("notice about a user who is no member", &line);
  } else if (line.is("removeuser")) {
    members_.erase(id);
  }
}

void SoakClient::checkMessage(const ServerLine& line) {
  SoakStamp stamp;
  if (!SoakPayload::readMessageText(line.stringParam("message"), stamp)) {
    fault("message text changed on the way", &line);
    return;
  }
  if (stamp.senderId != line.intParam("from")) fault("message from the wrong sender", &line);
  const int type = line.intParam("type");
  if (type == 1) {
    // Sent to an earlier session under the same id: not this session's concern.
    if (stamp.recipient != key_) {
      context_.stats.add(LoadStats::StaleMessages);
      return;
    }
    checkSequence(fromUsers_, stamp, false);
  } else if (type == 2 && stamp.recipient == 0 && line.stringParam("channel") == channel_) {
    // Only messages sent while this client is a member arrive, so the first may be any.
    checkSequence(fromChannel_, stamp, true);
  } else {
    fault("message that should not reach this client in " + channel_, &line);
    return;
  }
  context_.stats.add(LoadStats::MessagesChecked);
}

void SoakClient::checkSequence(std::unordered_map<std::uint32_t, std::uint32_t>& last,
                               const SoakStamp& stamp, bool firstMayBeLate) {
  const auto [entry, first] = last.try_emplace(stamp.sender, 0);
  const std::uint32_t previous = entry->second;
  if ((first && firstMayBeLate) || stamp.sequence == previous + 1) {
    entry->second = stamp.sequence;
    return;
  }
  const std::string from = "client " + std::to_string(index_) + ": message " +
                           std::to_string(stamp.sequence) + " of session " +
                           std::to_string(stamp.sender) + " after " + std::to_string(previous);
  if (stamp.sequence <= previous) {
    context_.stats.problem(LoadStats::ReorderedLines, from);
    return;
  }
  context_.stats.problem(LoadStats::LostLines, from, stamp.sequence - previous - 1);
  entry->second = stamp.sequence;
}

void SoakClient::onDatagram(ProtocolClient& client, std::span<const std::uint8_t> bytes) {
  // Repeated hellos are answered again; keep-alives come every 30 s.
  if (isHelloReply(bytes, client.userId()) || isKeepAlive(bytes)) return;
  checkVoice(bytes);
}

void SoakClient::checkVoice(std::span<const std::uint8_t> bytes) {
  SoakStamp stamp;
  if (!SoakPayload::readVoice(bytes, stamp)) {
    fault("datagram that is no forwarded voice of this run");
    return;
  }
  if (bytes[4] != client_.userId()) {
    fault("forwarded voice for id " + std::to_string(bytes[4]));
  } else if (stamp.recipient != key_) {
    context_.stats.add(LoadStats::VoiceStale);
  } else {
    context_.stats.add(LoadStats::VoiceReceived);
  }
}

void SoakClient::onClosed(ProtocolClient&, const std::string& reason) {
  if (finished_) return;
  context_.stats.problem(LoadStats::UnexpectedDisconnects,
                         "client " + std::to_string(index_) + " (id " +
                             std::to_string(client_.userId()) + "): " + reason);
  completed_ = false;
  endSession();
  scheduleReconnect();
}

void SoakClient::onBadLineEnd(ProtocolClient&, std::string_view text) {
  fault("line without CR LF: " + std::string(text));
}

}  // namespace quorvane
