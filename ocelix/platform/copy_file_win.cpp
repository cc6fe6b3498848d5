#include <windows.h>

#include <algorithm>

#include "basis/platform/wide_text.h"
#include "copy_file.h"

namespace ocelix {
namespace {

// Names tried before giving up on a folder full of earlier copies.
constexpr int kMaxNames = 1000;

// The folder holding path ("C:\a\b.mp4" -> "C:\a\"), with its separator, as
// GetDiskFreeSpaceExW wants it; "." for a bare name.
std::wstring FolderOf(const std::wstring& path) {
    const size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring(L".") : path.substr(0, separator + 1);
}

int64_t FreeBytesIn(const std::wstring& folder, int* error) {
    ULARGE_INTEGER available{};
    // The bytes this user may still write, after quotas.
    if (GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr) == 0) {
        *error = static_cast<int>(GetLastError());
        return -1;
    }
    return static_cast<int64_t>(std::min<ULONGLONG>(available.QuadPart, INT64_MAX));
}

// The identity of the file open as handle: its volume and its index there. False when it cannot
// be had.
bool FileIdentity(HANDLE handle, BY_HANDLE_FILE_INFORMATION* identity) {
    return GetFileInformationByHandle(handle, identity) != 0;
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

// The copy is written through a handle without DELETE access: a handle with it would keep out
// every reader that does not share deletion, which most players do not, for as long as the
// recording runs.
class WindowsCopyFile final : public CopyFile {
  public:
    WindowsCopyFile(std::string path, std::wstring widePath, HANDLE file)
        : CopyFile(std::move(path)), widePath_(std::move(widePath)), file_(file) {}
    ~WindowsCopyFile() override {
        if (file_ != INVALID_HANDLE_VALUE)
            CloseHandle(file_);
    }
    WindowsCopyFile(const WindowsCopyFile&) = delete;
    WindowsCopyFile& operator=(const WindowsCopyFile&) = delete;

    bool Write(std::span<const uint8_t> bytes, int* error) override {
        while (!bytes.empty()) {
            const auto part = static_cast<DWORD>(std::min<size_t>(bytes.size(), DWORD{1} << 30));
            DWORD written = 0;
            if (WriteFile(file_, bytes.data(), part, &written, nullptr) == 0) {
                *error = static_cast<int>(GetLastError());
                return false;
            }
            if (written == 0) {
                *error = ERROR_DISK_FULL;
                return false;
            }
            bytes = bytes.subspan(written);
        }
        return true;
    }

    bool Truncate(uint64_t size, int* error) override {
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(size);
        if (SetFilePointerEx(file_, at, nullptr, FILE_BEGIN) == 0 || SetEndOfFile(file_) == 0) {
            *error = static_cast<int>(GetLastError());
            return false;
        }
        return true;
    }

    int64_t FreeBytes(int* error) override { return FreeBytesIn(FolderOf(widePath_), error); }

    // The file is opened again by its name, with DELETE access, once the writing handle is
    // closed (it shares no deletion), and deleted only when it is still the same file: a link
    // or another file put at the name in between is left alone. Nothing writes afterwards.
    void Remove() override {
        if (file_ == INVALID_HANDLE_VALUE)
            return;
        BY_HANDLE_FILE_INFORMATION written{};
        const bool known = FileIdentity(file_, &written);
        CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
        if (!known)
            return;
        const HANDLE named =
            CreateFileW(widePath_.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (named == INVALID_HANDLE_VALUE)
            return;
        BY_HANDLE_FILE_INFORMATION now{};
        if (FileIdentity(named, &now) && SameFile(written, now)) {
            FILE_DISPOSITION_INFO dispose{};
            dispose.DeleteFile = TRUE;
            SetFileInformationByHandle(named, FileDispositionInfo, &dispose, sizeof dispose);
        }
        CloseHandle(named);
    }

  private:
    std::wstring widePath_;
    HANDLE file_;
};

}  // namespace

std::unique_ptr<CopyFile> CreateCopyFile(const std::string& path, int* error) {
    for (int n = 1; n <= kMaxNames; ++n) {
        const std::string name = NumberedName(path, n);
        const std::wstring wide = basis::WideFromUtf8(name);
        if (wide.empty()) {
            *error = ERROR_INVALID_NAME;
            return nullptr;
        }
        // CREATE_NEW fails on any existing name; with FILE_FLAG_OPEN_REPARSE_POINT a link there
        // (even a dangling one) counts as the name itself, never as what it points to.
        const HANDLE file =
            CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            try {
                return std::make_unique<WindowsCopyFile>(name, wide, file);
            } catch (...) {
                CloseHandle(file);
                throw;
            }
        }
        const DWORD failure = GetLastError();
        if (failure != ERROR_FILE_EXISTS && failure != ERROR_ALREADY_EXISTS) {
            *error = static_cast<int>(failure);
            return nullptr;
        }
    }
    *error = ERROR_FILE_EXISTS;
    return nullptr;
}

int64_t FreeBytesAt(const std::string& path, int* error) {
    return FreeBytesIn(FolderOf(basis::WideFromUtf8(path)), error);
}

int NoSpaceError() {
    return ERROR_DISK_FULL;
}

void KeepFileSizeLimitAnError() {
    // Windows has no file-size limit signal: a write that cannot go on fails with an error.
}

}  // namespace ocelix
