// The status page's view of the server: the channel tree with its members, in one section.
#include <utility>

#include "server/UserSession.h"
#include "server/VoiceServer.h"

namespace quorvane {

namespace {

StatusSnapshot::ChannelView viewOf(const Channel& channel, int depth, std::time_t now) {
  StatusSnapshot::ChannelView view;
  view.path = channel.path();
  view.depth = depth;
  view.topic = channel.topic();
  view.isProtected = channel.isProtected();
  view.isStatic = channel.isStatic() || depth == 0;  // the root always stays
  view.operators.assign(channel.operators().begin(), channel.operators().end());
  view.members.reserve(channel.userCount());
  for (const auto& entry : channel.members()) {
    const UserSession* user = entry.second;
    view.members.push_back({user->id(), user->nick(), user->statusMode(), user->statusMessage(),
                            static_cast<long>(now - user->lastPingTime())});
  }
  return view;
}

}  // namespace

StatusSnapshot VoiceServer::statusSnapshot() {
  Guard guard(*this);
  const std::time_t current = now();
  StatusSnapshot snapshot;
  snapshot.serverName = serverName_;
  snapshot.uptimeSeconds = running_ ? current - startedAt_ : 0;
  snapshot.channels.reserve(channelCount_);
  // Depth first without recursion: a tree may be deep.
  std::vector<std::pair<const Channel*, int>> pending{{&rootChannel_, 0}};
  while (!pending.empty()) {
    const auto [channel, depth] = pending.back();
    pending.pop_back();
    snapshot.channels.push_back(viewOf(*channel, depth, current));
    const auto& children = channel->children();
    for (auto child = children.rbegin(); child != children.rend(); ++child) {
      pending.emplace_back(child->get(), depth + 1);
    }
  }
  return snapshot;
}

}  // namespace quorvane
