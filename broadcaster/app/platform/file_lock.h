// The locks that keep two processes from changing the same settings file at once, and a second
// broadcaster from starting in a session.
#pragma once

#include <cstdint>
#include <string>

namespace app::platform {

enum class LockWait { kUntilFree, kNever };

// An exclusive lock on a lock file (made private to the user, not through a link, and only when
// this user owns it), held for the object's lifetime: flock on Linux, LockFileEx on Windows. With
// LockWait::kNever a lock that another process holds is not waited for: Busy() says so.
class FileLock {
  public:
    explicit FileLock(const std::string& path, LockWait wait = LockWait::kUntilFree);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool Held() const { return file_ != kNoFile; }
    // Not held because another process holds it (Error() is "" then).
    bool Busy() const { return busy_; }
    // Why the lock could not be taken (or made), naming the file; "" when held or busy.
    const std::string& Error() const { return error_; }

  private:
    // The descriptor, or on Windows the handle.
    static constexpr intptr_t kNoFile = -1;
    intptr_t file_ = kNoFile;
    bool busy_ = false;
    std::string error_;
};

}  // namespace app::platform
