#include "app/platform/this_user_win.h"

#include "app/platform/file_lock.h"
#include "basis/platform/wide_text.h"

namespace app::platform {

FileLock::FileLock(const std::string& path, LockWait wait) {
    const std::wstring wide = basis::WideFromUtf8(path);
    PrivateSecurity security(false);
    if (wide.empty() || security.Attributes() == nullptr) {
        error_ = path + ": cannot be made private to this user";
        return;
    }
    // Other processes open it too, to wait for the lock; a link there is opened as itself.
    OwnedHandle file(CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 security.Attributes(), OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.Valid()) {
        error_ = Reason(path, GetLastError());
        return;
    }
    if (KindOf(file.Get()) != HandleKind::kFile || !OwnedByThisUser(file.Get())) {
        error_ = path + ": not a file of this user";
        return;
    }
    // The lock goes with the handle: closing it releases the lock.
    OVERLAPPED whole{};
    const DWORD flags =
        LOCKFILE_EXCLUSIVE_LOCK | (wait == LockWait::kNever ? LOCKFILE_FAIL_IMMEDIATELY : 0);
    if (LockFileEx(file.Get(), flags, 0, MAXDWORD, MAXDWORD, &whole) == 0) {
        const DWORD error = GetLastError();
        if (error == ERROR_LOCK_VIOLATION && wait == LockWait::kNever)
            busy_ = true;
        else
            error_ = Reason(path, error);
        return;
    }
    file_ = reinterpret_cast<intptr_t>(file.Release());
}

FileLock::~FileLock() {
    if (file_ != kNoFile)
        CloseHandle(reinterpret_cast<HANDLE>(file_));
}

}  // namespace app::platform
