#include "log/platform/private_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace rtmp::log {
namespace {

// Makes dir (mode 0700) when missing; true when it is a real folder of this user.
bool OwnFolder(const std::string& dir) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    return lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
}

// Makes every missing folder of path; the last one must be the user's own.
bool MakeFolders(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string parent = path.substr(0, slash);
        if (mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return OwnFolder(path);
}

bool WriteAll(int fd, const void* data, size_t length) {
    const auto* p = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = write(fd, p, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Moves the newest `keep` bytes of a file of `size` bytes to its start and cuts it there.
bool KeepNewest(int fd, off_t size, off_t keep) {
    char block[65536];
    off_t from = size - keep;
    off_t to = 0;
    while (from < size) {
        const ssize_t n =
            pread(fd, block, static_cast<size_t>(std::min<off_t>(size - from, sizeof block)), from);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        if (pwrite(fd, block, static_cast<size_t>(n), to) != n)
            return false;
        from += n;
        to += n;
    }
    return ftruncate(fd, keep) == 0;
}

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

std::string PrivateLogDir() {
    const char* dir = std::getenv("VISTREL_LOG_DIR");
    if (dir != nullptr && *dir != '\0')
        return dir;
    std::string state;
    const char* xdg = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    if (xdg != nullptr && *xdg == '/') {
        state = xdg;
    } else if (home != nullptr && *home == '/') {
        state = std::string(home) + "/.local/state";
    } else {
        // No home: a folder of this user's own in /tmp, never a name shared with others.
        std::string own = "/tmp/tutorlane-";
        own.append(std::to_string(geteuid()));
        return OwnFolder(own) ? own : std::string();
    }
    const std::string folder = state + "/tutorlane";
    return MakeFolders(folder) ? folder : std::string();
}

bool AppendPrivate(const std::string& path, const char* head, const void* data, size_t length,
                   size_t maxBytes) noexcept {
    if (path.empty() || path[0] != '/')
        return false;
    const Descriptor fd(
        open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
    if (fd.Get() < 0)
        return false;
    struct stat st {};
    // A second name for the file (a hard link planted at path) would let the log be written into
    // a file that someone else chose.
    if (fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        st.st_nlink != 1)
        return false;
    if ((st.st_mode & 077) != 0)
        fchmod(fd.Get(), 0600);
    // Writers in other threads and processes take turns.
    while (flock(fd.Get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return false;
    }
    const size_t half = maxBytes / 2;
    const size_t headLength = head != nullptr ? std::strlen(head) : 0;
    const size_t headPart = std::min(headLength, half);
    const size_t dataPart = data != nullptr ? std::min(length, half - headPart) : 0;
    const off_t size = lseek(fd.Get(), 0, SEEK_END);
    if (size < 0)
        return false;
    if (static_cast<size_t>(size) + headPart + dataPart > maxBytes) {
        // The oldest bytes go: what is left and the new record fill at most half of the limit.
        const off_t keep =
            static_cast<off_t>(std::min(static_cast<size_t>(size), half - headPart - dataPart));
        if (!KeepNewest(fd.Get(), size, keep) || lseek(fd.Get(), 0, SEEK_END) < 0)
            return false;
    }
    return WriteAll(fd.Get(), head, headPart) && WriteAll(fd.Get(), data, dataPart);
}

void RemovePrivate(const std::string& path) noexcept {
    unlink(path.c_str());
}

}  // namespace rtmp::log
