#include "app/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace app {

std::string InstanceLockPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string dir = runtime != nullptr && *runtime != '\0' ? runtime : "/tmp";
    return dir + "/" + kInstanceMutexName + ".lock";
}

bool TakeInstanceLock() {
    // The descriptor stays open, and so the lock held, until the process ends.
    static std::mutex lock;
    static bool held = false;
    std::lock_guard<std::mutex> guard(lock);
    if (held)
        return true;
    const std::string path = InstanceLockPath();
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return true;  // as a mutex that cannot be made: the check does not stop the program
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
