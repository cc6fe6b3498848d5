#include "app/platform/local_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace app::platform {

std::optional<unsigned> PeerUserId(intptr_t descriptor) {
    struct ucred credentials {};
    socklen_t size = sizeof credentials;
    if (descriptor < 0 ||
        getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &size) !=
            0 ||
        size != sizeof credentials)
        return std::nullopt;
    return static_cast<unsigned>(credentials.uid);
}

std::string OwnSocketProblem(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        return path + ": " + std::strerror(errno);
    if (!S_ISSOCK(st.st_mode))
        return path + ": not a socket";
    if (st.st_uid != geteuid())
        return path + ": another user's socket";
    return "";
}

std::string ClearOwnLeftover(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? "" : path + ": " + std::strerror(errno);
    if (st.st_uid != geteuid())
        return path + ": another user's file";
    if (unlink(path.c_str()) != 0 && errno != ENOENT)
        return path + ": " + std::strerror(errno);
    return "";
}

}  // namespace app::platform
