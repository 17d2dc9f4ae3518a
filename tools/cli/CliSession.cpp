#include "cli/CliSession.h"

#include <algorithm>

#include "protocol/MessageSyntax.h"

namespace quorvane {

void CliSession::apply(const ServerLine& line) {
  if (line.is("welcome")) {
    ownId_ = line.intParam("id", 0);
  } else if (line.is("accepted") || line.is("youare")) {
    ownId_ = line.intParam("id", ownId_);
    nick_ = line.stringParam("nick");
    nicks_[ownId_] = nick_;
    if (line.is("accepted")) {
      channel_ = "/";
      listing_ = Listing::Login;
    }
  } else if (line.is("joined")) {
    channel_ = line.stringParam("channel");
    members_.clear();
    listing_ = Listing::Join;
  } else if (line.is("kicked")) {
    channel_.clear();
    members_.clear();
    listing_ = Listing::None;
  } else if (line.is("adduser") || line.is("updateuser")) {
    applyUser(line);
  } else if (line.is("removeuser")) {
    members_.erase(line.intParam("id", 0));
  } else if (line.is("addchannel") || line.is("updatechannel")) {
    channels_[line.stringParam("channel")] = channelInfo(line);
  } else if (line.is("removechannel")) {
    channels_.erase(line.stringParam("channel"));
  }
}

void CliSession::applyUser(const ServerLine& line) {
  const int id = line.intParam("id", 0);
  Member& member = members_[id];
  member.nick = line.stringParam("nick");
  member.statusMode = line.intParam("statusmode", 0);
  member.statusMessage = line.stringParam("statusmessage");
  nicks_[id] = member.nick;
}

void CliSession::sent(std::string_view line) {
  const std::string_view word = line.substr(0, line.find(' '));
  const LineParams params(line);
  if (word == "changenick") {
    params.getStringParam("nick", nick_);
    nicks_[ownId_] = nick_;
  } else if (word == "changestatus") {
    params.getIntParam("statusmode", statusMode_);
    params.getStringParam("statusmessage", statusMessage_);
  }
}

std::string CliSession::nameOf(int id) const {
  const auto found = nicks_.find(id);
  return found != nicks_.end() ? found->second : "#" + std::to_string(id);
}

const CliSession::Member* CliSession::member(int id) const {
  const auto found = members_.find(id);
  return found != members_.end() ? &found->second : nullptr;
}

CliSession::ChannelInfo CliSession::channelInfo(const ServerLine& line) {
  ChannelInfo info;
  info.isProtected = line.intParam("protected", 0) != 0;
  info.topic = line.stringParam("topic");
  // The list arrives as the text between the brackets: decimal ids separated by commas.
  const std::string ids = line.stringParam("operators");
  std::size_t start = 0;
  while (start < ids.size()) {
    const std::size_t comma = std::min(ids.find(',', start), ids.size());
    int id = 0;
    if (parseIntegerText(std::string_view(ids).substr(start, comma - start), id)) {
      info.operators.push_back(id);
    }
    start = comma + 1;
  }
  return info;
}

}  // namespace quorvane
