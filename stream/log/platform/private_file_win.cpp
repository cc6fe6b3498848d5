#include <windows.h>

#include <aclapi.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "basis/platform/this_user.h"
#include "basis/platform/wide_text.h"
#include "log/platform/private_file.h"

namespace rtmp::log {
namespace {

using basis::platform::EnvironmentValue;
using basis::platform::OwnedByThisUser;
using basis::platform::PrivateSecurity;
using Handle = basis::platform::OwnedHandle;

// Holds a whole-file lock of a handle (other handles wait for it, in any process).
class FileLock {
  public:
    explicit FileLock(HANDLE file) : file_(file) {
        locked_ = LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole_) != 0;
    }
    ~FileLock() {
        if (locked_)
            UnlockFileEx(file_, 0, MAXDWORD, MAXDWORD, &whole_);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool Locked() const { return locked_; }

  private:
    HANDLE file_;
    OVERLAPPED whole_{};
    bool locked_ = false;
};

// What the handle is, read from itself (with FILE_FLAG_OPEN_REPARSE_POINT a link is opened as
// itself, never followed).
bool Describe(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
    return GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, info) != 0;
}

// Makes dir when missing; true when it is a real folder (no junction or link) of this user.
bool OwnFolder(const std::wstring& dir) {
    PrivateSecurity security(true);
    if (security.Attributes() == nullptr)
        return false;
    if (CreateDirectoryW(dir.c_str(), security.Attributes()) == 0 &&
        GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    const Handle folder(
        CreateFileW(dir.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    return folder.Valid() && Describe(folder.Get(), &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
           OwnedByThisUser(folder.Get());
}

// "C:\..." or "C:/..." or a UNC path "\\server\share\...".
bool IsAbsolute(const std::wstring& path) {
    const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    if (path.size() >= 3 && path[1] == L':' && separator(path[2]))
        return true;
    return path.size() >= 2 && separator(path[0]) && separator(path[1]);
}

bool ReadAt(HANDLE file, void* buffer, DWORD length, uint64_t offset, DWORD* got) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return ReadFile(file, buffer, length, got, &at) != 0;
}

bool WriteAt(HANDLE file, const void* buffer, DWORD length, uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    return WriteFile(file, buffer, length, &written, &at) != 0 && written == length;
}

// Appends all bytes at the end of the file.
bool WriteAll(HANDLE file, const void* data, size_t length) {
    LARGE_INTEGER zero{};
    if (SetFilePointerEx(file, zero, nullptr, FILE_END) == 0)
        return false;
    const auto* p = static_cast<const char*>(data);
    while (length > 0) {
        const DWORD part = static_cast<DWORD>(std::min<size_t>(length, DWORD{1} << 30));
        DWORD written = 0;
        if (WriteFile(file, p, part, &written, nullptr) == 0 || written == 0)
            return false;
        p += written;
        length -= written;
    }
    return true;
}

// Moves the newest `keep` bytes of a file of `size` bytes to its start and cuts it there.
bool KeepNewest(HANDLE file, uint64_t size, uint64_t keep) {
    std::vector<char> block(65536);
    uint64_t from = size - keep;
    uint64_t to = 0;
    while (from < size) {
        const auto want = static_cast<DWORD>(std::min<uint64_t>(size - from, block.size()));
        DWORD got = 0;
        if (!ReadAt(file, block.data(), want, from, &got) || got == 0)
            return false;
        if (!WriteAt(file, block.data(), got, to))
            return false;
        from += got;
        to += got;
    }
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(keep);
    return SetFilePointerEx(file, end, nullptr, FILE_BEGIN) != 0 && SetEndOfFile(file) != 0;
}

bool Append(const std::string& path, const char* head, const void* data, size_t length,
            size_t maxBytes) {
    const std::wstring wide = basis::WideFromUtf8(path);
    if (!IsAbsolute(wide))
        return false;
    PrivateSecurity security(false);
    if (security.Attributes() == nullptr)
        return false;
    // Others may read, append and remove it meanwhile, as on Linux; the lock orders writers.
    const Handle file(CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  security.Attributes(), OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.Valid())
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    // A link or junction planted at path, a second name of a file (a hard link) or a file of
    // another user would let the log be written where someone else chose.
    constexpr DWORD kNotPlain =
        FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE;
    if (!Describe(file.Get(), &info) || (info.dwFileAttributes & kNotPlain) != 0 ||
        info.nNumberOfLinks != 1 || !OwnedByThisUser(file.Get()))
        return false;
    const FileLock lock(file.Get());
    if (!lock.Locked())
        return false;
    const size_t half = maxBytes / 2;
    const size_t headLength = head != nullptr ? std::strlen(head) : 0;
    const size_t headPart = std::min(headLength, half);
    const size_t dataPart = data != nullptr ? std::min(length, half - headPart) : 0;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file.Get(), &size) == 0 || size.QuadPart < 0)
        return false;
    const auto bytes = static_cast<uint64_t>(size.QuadPart);
    if (bytes + headPart + dataPart > maxBytes) {
        // The oldest bytes go: what is left and the new record fill at most half of the limit.
        const uint64_t keep = std::min<uint64_t>(bytes, half - headPart - dataPart);
        if (!KeepNewest(file.Get(), bytes, keep))
            return false;
    }
    return WriteAll(file.Get(), head, headPart) && WriteAll(file.Get(), data, dataPart);
}

}  // namespace

std::string PrivateLogDir() {
    const std::wstring chosen = EnvironmentValue(L"VISTREL_LOG_DIR");
    if (!chosen.empty())
        return basis::Utf8FromWide(chosen);
    PWSTR local = nullptr;
    const HRESULT found =
        SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &local);
    std::wstring folder;
    if (SUCCEEDED(found) && local != nullptr)
        folder = std::wstring(local) + L"\\Tutorlane";
    CoTaskMemFree(local);
    if (folder.empty() || !OwnFolder(folder))
        return {};
    return basis::Utf8FromWide(folder);
}

bool AppendPrivate(const std::string& path, const char* head, const void* data, size_t length,
                   size_t maxBytes) noexcept {
    try {
        return Append(path, head, data, length, maxBytes);
    } catch (...) {  // no memory for a path or a buffer: nothing written
        return false;
    }
}

void RemovePrivate(const std::string& path) noexcept {
    try {
        const std::wstring wide = basis::WideFromUtf8(path);
        if (!wide.empty())
            DeleteFileW(wide.c_str());
    } catch (...) {
    }
}

}  // namespace rtmp::log
