// One broadcaster per user session: an exclusive lock on a file named after the instance mutex,
// in $XDG_RUNTIME_DIR (or /tmp, with the user id in the name), held until the process ends.
#pragma once

#include <string>

namespace app {

constexpr char kInstanceMutexName[] = "TutorlaneClientForZembra2014";

// The lock file's path for this session.
std::string InstanceLockPath();
// The local socket on which the running instance takes launch URLs of later starts.
std::string InstanceSocketPath();
// True when this process holds the lock: taken now, or by an earlier call of this process.
// False when another process holds it. The file is opened without following a link and is
// left alone when another user owns it.
bool TakeInstanceLock();

}  // namespace app
