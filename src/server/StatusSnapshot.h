// The server's users and channels at one moment, for the status page: a plain value, taken
// under the loop lock and read afterwards without it. Holds no password and no address.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace quorvane {

struct StatusSnapshot {
  struct Member {
    int id = 0;
    std::string nick;
    int statusMode = 0;
    std::string statusMessage;
    // Seconds since the member's last "ping" (or its login, before the first).
    long idleSeconds = 0;
  };
  struct ChannelView {
    std::string path;
    // Levels below the root: 0 for the root.
    int depth = 0;
    std::string topic;
    bool isProtected = false;
    bool isStatic = false;
    std::vector<int> operators;
    std::vector<Member> members;  // ascending id
  };

  std::string serverName;
  std::time_t uptimeSeconds = 0;
  // The tree in depth-first order, each channel before its sub-channels, these in the order in
  // which they were added.
  std::vector<ChannelView> channels;
};

}  // namespace quorvane
