#include "app/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "app/platform/file_io.h"

namespace app {
namespace {

// The session's name for a file of the instance: in /tmp, shared by all users, it carries the
// user id.
std::string InstanceFile(const char* extension) {
    const std::string dir = platform::RuntimeFolder();
    std::string name = dir + "/" + kInstanceMutexName;
    if (dir == "/tmp")
        name.append(1, '-').append(std::to_string(platform::UserId()));
    return name + extension;
}

}  // namespace

std::string InstanceLockPath() {
    return InstanceFile(".lock");
}

std::string InstanceSocketPath() {
    return InstanceFile(".sock");
}

bool TakeInstanceLock() {
    // The descriptor stays open, and so the lock held, until the process ends.
    static std::mutex lock;
    static bool held = false;
    std::lock_guard<std::mutex> guard(lock);
    if (held)
        return true;
    const std::string path = InstanceLockPath();
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0)
        return true;  // as a mutex that cannot be made: the check does not stop the program
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        close(fd);  // another user's file: not ours to lock, nor a reason to stop
        return true;
    }
    int rc = 0;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int error = errno;
        close(fd);
        return error != EWOULDBLOCK;
    }
    held = true;
    return true;
}

}  // namespace app
