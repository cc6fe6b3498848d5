#include "app/platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace app::platform {
namespace {

std::string Reason(const std::string& what, int error) {
    // O_NOFOLLOW reports a link at the name as a loop.
    return what + ": " + (error == ELOOP ? "a link, not a file" : std::strerror(error));
}

}  // namespace

FileLock::FileLock(const std::string& path, LockWait wait) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) {
        error_ = Reason(path, errno);
        return;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        error_ = path + ": not a file of this user";
        close(fd);
        return;
    }
    const int operation = wait == LockWait::kNever ? LOCK_EX | LOCK_NB : LOCK_EX;
    while (flock(fd, operation) != 0) {
        if (errno == EINTR)
            continue;
        if (errno == EWOULDBLOCK && wait == LockWait::kNever)
            busy_ = true;
        else
            error_ = Reason(path, errno);
        close(fd);
        return;
    }
    file_ = fd;
}

FileLock::~FileLock() {
    if (file_ != kNoFile)
        close(static_cast<int>(file_));
}

}  // namespace app::platform
