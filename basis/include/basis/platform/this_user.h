// What the libraries' and the application's Windows platform files share: an owned handle, the
// user this process runs as, and checks that a file found at a path is a plain file or folder of
// that user.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace basis::platform {

class OwnedHandle {
  public:
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
    ~OwnedHandle() { Reset(); }
    OwnedHandle(OwnedHandle&& other) noexcept : handle_(other.Release()) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = other.Release();
        }
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;

    bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle_; }
    HANDLE Release() {
        const HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    void Reset() {
        if (Valid())
            CloseHandle(handle_);
        handle_ = nullptr;
    }

  private:
    HANDLE handle_ = nullptr;
};

// The process's user, and the owner its new files get (the Administrators group for an
// elevated administrator); empty when the token cannot be read.
struct ThisUser {
    std::vector<BYTE> user;
    std::vector<BYTE> owner;
};
const ThisUser& User();

// Whether the object behind handle is owned by this user (or by the owner its files get).
bool OwnedByThisUser(HANDLE handle);

// Where a handle opened with FILE_FLAG_OPEN_REPARSE_POINT leads: a file on a disk (no link or
// junction), a folder (likewise), or something else.
enum class HandleKind { kFile, kFolder, kOther };
HandleKind KindOf(HANDLE handle);
// Whether a file has more than one name (hard links): a write through one name would land where
// another name, chosen by someone else, also leads.
bool HasOtherNames(HANDLE handle);

// Security attributes that give this user all access and nobody else any, inherited from no
// folder (and, for a folder, handed down to what is made in it).
class PrivateSecurity {
  public:
    explicit PrivateSecurity(bool folder);
    PrivateSecurity(const PrivateSecurity&) = delete;
    PrivateSecurity& operator=(const PrivateSecurity&) = delete;
    // Null when no descriptor could be made: the caller refuses then.
    SECURITY_ATTRIBUTES* Attributes() { return ready_ ? &attributes_ : nullptr; }

  private:
    std::vector<BYTE> acl_;
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
    bool ready_ = false;
};

// The text of the last Windows error (or of `error`), without the line end.
std::string SystemErrorText(DWORD error);
// "<what>: <text of error>".
std::string Reason(const std::string& what, DWORD error);

// An environment variable's value; "" when it is not set.
std::wstring EnvironmentValue(const wchar_t* name);

}  // namespace basis::platform
