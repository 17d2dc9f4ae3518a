// What the command-line client knows of its session, kept from the server's replies and
// notifications: its own id, nick and channel, the members of its channel, the channel tree and
// the nicks of every user it has heard of. Used on the client's one thread.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "client/ServerLine.h"

namespace quorvane {

class CliSession {
 public:
  struct Member {
    std::string nick;
    int statusMode = 0;
    std::string statusMessage;
  };

  struct ChannelInfo {
    bool isProtected = false;
    std::string topic;
    std::vector<int> operators;
  };

  // The lists that come with a login (channels, then members) or a join (members) are being
  // received; otherwise lines are news.
  enum class Listing { None, Login, Join };

  // Takes in one received line (after it has been shown: the texts speak of the state before).
  void apply(const ServerLine& line);
  // Takes note of a line this client sent: a new nick or status of its own.
  void sent(std::string_view line);
  // The server has answered everything up to the end of the last login's or join's lists.
  void endListing() { listing_ = Listing::None; }

  int ownId() const { return ownId_; }
  const std::string& nick() const { return nick_; }
  // The path of its channel; empty before login and after it was kicked.
  const std::string& channel() const { return channel_; }
  int statusMode() const { return statusMode_; }
  const std::string& statusMessage() const { return statusMessage_; }
  const std::map<int, Member>& members() const { return members_; }
  const std::map<std::string, ChannelInfo>& channels() const { return channels_; }
  Listing listing() const { return listing_; }
  // The nick last heard for the id, or "#id" when none was.
  std::string nameOf(int id) const;
  // The member's record, or nothing when the id is not in this client's channel.
  const Member* member(int id) const;

  static ChannelInfo channelInfo(const ServerLine& line);

 private:
  void applyUser(const ServerLine& line);

  int ownId_ = 0;
  std::string nick_;
  std::string channel_;
  int statusMode_ = 0;
  std::string statusMessage_;
  std::map<int, Member> members_;
  std::map<std::string, ChannelInfo> channels_;
  std::map<int, std::string> nicks_;
  Listing listing_ = Listing::None;
};

}  // namespace quorvane
