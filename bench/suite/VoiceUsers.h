// The users the voice scenarios send between: each a voice socket on a loopback address of its
// own and, on the server, a client logged in from that address whose confirmed voice endpoint the
// socket is. Plain functions on the calling thread.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <string>

#include "client/ProtocolClient.h"
#include "suite/Subject.h"

namespace quorvane {

// The address of the bench's voice socket `index`, each its own: 127.0.0.2 and up, never
// 127.0.0.1, whose clients the server takes for its own.
std::string voiceAddress(std::size_t index);

// Sends the hello of `id` from `fd` to `subject` until it is answered; false when it never is.
bool confirmHello(int fd, int id, const sockaddr_in& subject);

// Makes `user` a user of the server whose voice endpoint is `fd`: connected from the socket's
// address, "protocol", the hello from the socket, "connect" into the root channel. The server
// forwards voice only from a logged-in user's own endpoint to a member of its channel.
bool logInFrom(const Subject& subject, const std::string& address, int fd, ProtocolClient& user,
               std::string& error);

}  // namespace quorvane
