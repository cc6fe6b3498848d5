// What the launch channel needs of local sockets beyond Qt: who is at the other end of a
// connection, and what lies at the socket's name before it is used.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace app::platform {

// The user id of the process at the other end of a connected local socket (as the system
// recorded it when the connection was made); nullopt when the system does not tell.
std::optional<unsigned> PeerUserId(intptr_t descriptor);

// "" when path is a socket that this user owns; otherwise why a connection to it would not
// reach a window of this user (nothing there, not a socket, another user's), naming path.
std::string OwnSocketProblem(const std::string& path);

// Removes what an earlier run of this user's left at path, so that a new socket can take the
// name. "" when nothing is left there; otherwise why not, naming path (another user's file is
// never removed).
std::string ClearOwnLeftover(const std::string& path);

}  // namespace app::platform
