// The lock that keeps two processes from changing the same settings file at once.
#pragma once

#include <string>

namespace app::platform {

// An exclusive flock on a lock file (made with mode 0600, not through a link, and only when
// this user owns it), held for the object's lifetime.
class FileLock {
  public:
    explicit FileLock(const std::string& path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool Held() const { return fd_ >= 0; }
    const std::string& Error() const { return error_; }

  private:
    int fd_ = -1;
    std::string error_;
};

}  // namespace app::platform
