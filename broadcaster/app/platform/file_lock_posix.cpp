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
    return what + ": " + std::strerror(error);
}

}  // namespace

FileLock::FileLock(const std::string& path) {
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
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            error_ = Reason(path, errno);
            close(fd);
            return;
        }
    }
    fd_ = fd;
}

FileLock::~FileLock() {
    if (fd_ >= 0)
        close(fd_);
}

}  // namespace app::platform
