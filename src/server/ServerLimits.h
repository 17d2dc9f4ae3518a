// The server's defences against clients that flood, starve or out-guess the others: rates, time
// limits and sizes, each with a default that a well-behaved client never notices; 0 turns a
// limit off. A plain value, copied into the server before it starts.
#pragma once

#include <cstdint>
#include <set>

namespace quorvane {

struct ServerLimits {
  // Lines per second a connection may send, and how many at once (every line counts).
  unsigned commandLimit = 50;
  unsigned commandBurst = 100;
  // Of those, the lines that make the server send to other users (connect, changenick,
  // changestatus, join, message, kick): per connection, and per address for all its connections.
  unsigned messageLimit = 2;
  unsigned messageBurst = 10;
  unsigned addressMessageLimit = 10;
  unsigned addressMessageBurst = 50;
  // "connect" lines per address.
  unsigned addressLoginLimit = 5;
  unsigned addressLoginBurst = 32;
  // Voice datagrams forwarded per second for each sending address and port (burst: one second).
  unsigned voiceLimit = 100;
  // Seconds a connection may take to log in.
  unsigned loginTimeout = 60;
  // Wrong server passwords after which a connection is closed.
  unsigned loginAttempts = 3;
  // Failed connections within the time frame (seconds) after which an address is refused for
  // autobanTime seconds.
  unsigned autobanAttempts = 10;
  unsigned autobanTimeframe = 120;
  unsigned autobanTime = 300;
  // Connections that have not logged in yet, and connections in all, per address; connections
  // in all for the server.
  unsigned pendingPerAddress = 32;
  unsigned connectionsPerAddress = 256;
  unsigned maxUsers = 0;
  // The channel tree, and the texts that every client receives.
  unsigned maxChannels = 1000;
  unsigned maxChannelName = 128;
  unsigned maxChannelDepth = 16;
  unsigned maxTopic = 512;
  unsigned maxNick = 128;
  unsigned maxStatus = 256;
  // IPv4 addresses (as numbers, w.x.y.z = w*2^24 + ...): exempt from every per-address limit and
  // from bans; refused as if banned.
  std::set<std::uint32_t> trusted;
  std::set<std::uint32_t> banned;
};

}  // namespace quorvane
