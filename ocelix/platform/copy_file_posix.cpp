#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#include "copy_file.h"

namespace ocelix {
namespace {

// Names tried before giving up on a folder full of earlier copies.
constexpr int kMaxNames = 1000;

class PosixCopyFile final : public CopyFile {
  public:
    PosixCopyFile(std::string path, int fd) : CopyFile(std::move(path)), fd_(fd) {}
    ~PosixCopyFile() override { ::close(fd_); }
    PosixCopyFile(const PosixCopyFile&) = delete;
    PosixCopyFile& operator=(const PosixCopyFile&) = delete;

    bool Write(std::span<const uint8_t> bytes, int* error) override {
        while (!bytes.empty()) {
            const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                *error = n < 0 ? errno : ENOSPC;
                return false;
            }
            bytes = bytes.subspan(static_cast<size_t>(n));
        }
        return true;
    }

    bool Truncate(uint64_t size, int* error) override {
        if (::ftruncate(fd_, static_cast<off_t>(size)) != 0 ||
            ::lseek(fd_, static_cast<off_t>(size), SEEK_SET) < 0) {
            *error = errno;
            return false;
        }
        return true;
    }

    int64_t FreeBytes(int* error) override {
        struct statvfs s {};
        if (::fstatvfs(fd_, &s) != 0) {
            *error = errno;
            return -1;
        }
        return static_cast<int64_t>(s.f_bavail) * static_cast<int64_t>(s.f_frsize);
    }

    void Remove() override { ::unlink(Path().c_str()); }

  private:
    int fd_;
};

}  // namespace

std::unique_ptr<CopyFile> CreateCopyFile(const std::string& path, int* error) {
    for (int n = 1; n <= kMaxNames; ++n) {
        const std::string name = NumberedName(path, n);
        // O_EXCL fails on any existing name, a symbolic link (even a dangling one) included.
        const int fd =
            ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0)
            return std::make_unique<PosixCopyFile>(name, fd);
        if (errno != EEXIST) {
            *error = errno;
            return nullptr;
        }
    }
    *error = EEXIST;
    return nullptr;
}

int64_t FreeBytesAt(const std::string& path, int* error) {
    const size_t slash = path.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    struct statvfs s {};
    if (::statvfs(folder.c_str(), &s) != 0) {
        *error = errno;
        return -1;
    }
    return static_cast<int64_t>(s.f_bavail) * static_cast<int64_t>(s.f_frsize);
}

int NoSpaceError() {
    return ENOSPC;
}

void KeepFileSizeLimitAnError() {
    // The signal goes to the writing thread; blocked there, the write fails with EFBIG.
    sigset_t fileSize;
    sigemptyset(&fileSize);
    sigaddset(&fileSize, SIGXFSZ);
    pthread_sigmask(SIG_BLOCK, &fileSize, nullptr);
}

}  // namespace ocelix
