// One broadcaster per user session: an exclusive lock on a file named after the instance mutex,
// in $XDG_RUNTIME_DIR (or /tmp, with the user id in the name), held until the process ends.
#pragma once

#include <optional>
#include <string>

namespace app {

constexpr char kInstanceMutexName[] = "TutorlaneClientForZembra2014";

// The lock file's path for this session.
std::string InstanceLockPath();
// The local socket on which the running instance takes launch URLs of later starts.
std::string InstanceSocketPath();

enum class InstanceState {
    kFirst,    // this process holds the lock
    kRunning,  // another process holds it
    kUnknown,  // the lock can't be taken safely: whether another instance runs can't be told
};
struct InstanceCheck {
    InstanceState state = InstanceState::kUnknown;
    std::string reason;  // for kUnknown: why, naming the file
};
// Takes the lock, or tells that this process took it earlier. The file is opened without
// following a link; a file another user owns, or one that can't be opened, is never locked,
// and the program must not run then (a second full instance could).
InstanceCheck TakeInstanceLock();
// What the teacher is told: the check said kRunning (or kUnknown, for the reason given).
std::string RunningMessage();
std::string UnknownInstanceMessage(const std::string& reason);
// kRunning, and the launch URL could not be handed to the running window.
std::string NotForwardedMessage(const std::string& reason);
// The running window can't take the launch URLs of later starts.
std::string NotListeningMessage(const std::string& reason);

// Launch URLs are taken from, and handed to, processes of this user only: peerUid is the user
// of the other end of the connection (nullopt when the system did not tell).
bool LaunchPeerTrusted(std::optional<unsigned> peerUid, unsigned ownUid);

}  // namespace app
