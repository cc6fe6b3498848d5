#include "app/platform/this_user_win.h"

#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "app/platform/file_io.h"
#include "basis/platform/wide_text.h"

namespace app::platform {
namespace {

// ERROR_DISK_QUOTA_EXCEEDED, which mingw-w64's headers lack.
constexpr DWORD kDiskQuotaExceeded = 1295;

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// "C:\..." or "C:/..." or a UNC path "\\server\share\...".
bool IsAbsolute(const std::wstring& path) {
    if (path.size() >= 3 && path[1] == L':' && IsSeparator(path[2]))
        return true;
    return path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
}

std::wstring KnownFolder(REFKNOWNFOLDERID id) {
    PWSTR found = nullptr;
    std::wstring folder;
    if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &found)) && found != nullptr)
        folder = found;
    CoTaskMemFree(found);
    return folder;
}

// The variable's value when it names an absolute folder, else the known folder.
std::wstring FolderFromEnvironment(const wchar_t* variable, REFKNOWNFOLDERID id) {
    const std::wstring chosen = EnvironmentValue(variable);
    return IsAbsolute(chosen) ? chosen : KnownFolder(id);
}

// Makes one folder when missing (private to the user); "" when a folder is there then. A folder
// reached through a link or junction counts, as one through a symbolic link does on Linux.
std::string MakeOneFolder(const std::wstring& folder) {
    PrivateSecurity security(true);
    if (CreateDirectoryW(folder.c_str(), security.Attributes()) != 0)
        return {};
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return {};
    if (error == ERROR_ALREADY_EXISTS)
        return basis::Utf8FromWide(folder) + ": not a folder";
    return Reason(basis::Utf8FromWide(folder), error);
}

// Makes every missing folder of path; the drive or share it starts with must exist.
std::string MakeMissingFolders(const std::wstring& path) {
    if (!IsAbsolute(path))
        return basis::Utf8FromWide(path) + ": not an absolute path";
    // The first folder that may be made: after "C:\" or after "\\server\share\".
    size_t start = 3;
    if (IsSeparator(path[0])) {
        const size_t server = path.find_first_of(L"\\/", 2);
        const size_t share =
            server == std::wstring::npos ? server : path.find_first_of(L"\\/", server + 1);
        if (share == std::wstring::npos)
            return MakeOneFolder(path);
        start = share + 1;
    }
    for (size_t at = path.find_first_of(L"\\/", start);; at = path.find_first_of(L"\\/", at + 1)) {
        const std::wstring part = at == std::wstring::npos ? path : path.substr(0, at);
        if (!part.empty() && !IsSeparator(part.back())) {
            const std::string problem = MakeOneFolder(part);
            if (!problem.empty())
                return problem;
        }
        if (at == std::wstring::npos)
            return {};
    }
}

// Writes all of text to file.
bool WriteAll(HANDLE file, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const auto part = static_cast<DWORD>(std::min<size_t>(left, DWORD{1} << 30));
        DWORD written = 0;
        if (WriteFile(file, p, part, &written, nullptr) == 0 || written == 0)
            return false;
        p += written;
        left -= written;
    }
    return true;
}

}  // namespace

char PathSeparator() {
    return '\\';
}

FileRead ReadWholeFile(const std::string& path) {
    FileRead result;
    const std::wstring wide = basis::WideFromUtf8(path);
    // Others may replace the file meanwhile (a writer renames a new file over it).
    const OwnedHandle file(CreateFileW(
        wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.Valid()) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            result.missing = true;
        else
            result.error = Reason(path, error);
        return result;
    }
    if (KindOf(file.Get()) != HandleKind::kFile) {
        result.error = path + ": not a regular file";
        return result;
    }
    char block[8192];
    for (;;) {
        DWORD got = 0;
        if (ReadFile(file.Get(), block, sizeof block, &got, nullptr) == 0) {
            result.error = Reason(path, GetLastError());
            break;
        }
        if (got == 0)
            break;
        if (result.text.size() + got > kMaxSettingsBytes) {
            result.error = path + ": file too large";
            break;
        }
        result.text.append(block, got);
    }
    if (!result.error.empty())
        result.text.clear();
    return result;
}

std::string ReplaceFileAtomically(const std::string& path, const std::string& text) {
    const std::wstring target = basis::WideFromUtf8(path);
    if (target.empty())
        return path + ": not a file name";
    const size_t separator = target.find_last_of(L"\\/");
    const std::wstring folder =
        separator == std::wstring::npos ? std::wstring(L".") : target.substr(0, separator);
    const std::wstring name =
        separator == std::wstring::npos ? target : target.substr(separator + 1);
    PrivateSecurity security(false);
    if (security.Attributes() == nullptr)
        return path + ": the user's access list cannot be made";
    // A new name each time: CREATE_NEW never opens what another process left or planted.
    static std::atomic<unsigned> counter{0};
    OwnedHandle file;
    std::wstring temp;
    for (int attempt = 0; attempt < 100 && !file.Valid(); ++attempt) {
        wchar_t suffix[40];
        std::swprintf(suffix, sizeof suffix / sizeof suffix[0], L".%lu.%u", GetCurrentProcessId(),
                      counter.fetch_add(1));
        temp = folder + L"\\." + name + suffix;
        file = OwnedHandle(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, security.Attributes(),
                                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.Valid() && GetLastError() != ERROR_FILE_EXISTS)
            return Reason(basis::Utf8FromWide(folder), GetLastError());
    }
    if (!file.Valid())
        return basis::Utf8FromWide(folder) + ": no free name for a new file";
    DWORD error = 0;
    if (!WriteAll(file.Get(), text) || FlushFileBuffers(file.Get()) == 0)
        error = GetLastError();
    file.Reset();
    // The new file takes the name in one step: readers see the old or the new file.
    if (error == 0 && MoveFileExW(temp.c_str(), target.c_str(),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0)
        error = GetLastError();
    if (error != 0) {
        DeleteFileW(temp.c_str());
        return Reason(path, error);
    }
    return {};
}

std::string UserConfigFolder(std::string* error) {
    const std::wstring base = FolderFromEnvironment(L"APPDATA", FOLDERID_RoamingAppData);
    if (base.empty()) {
        *error = "no application data folder (APPDATA is not set)";
        return {};
    }
    const std::wstring folder = base + L"\\Tutorlane";
    *error = MakeMissingFolders(folder);
    return error->empty() ? basis::Utf8FromWide(folder) : std::string();
}

std::string MakeFolders(const std::string& path) {
    if (path.empty())
        return "no folder";
    std::wstring wide = basis::WideFromUtf8(path);
    while (wide.size() > 3 && IsSeparator(wide.back()))
        wide.pop_back();
    return MakeMissingFolders(wide);
}

std::string HomeFolder() {
    return basis::Utf8FromWide(FolderFromEnvironment(L"USERPROFILE", FOLDERID_Profile));
}

std::string VideosFolder() {
    return basis::Utf8FromWide(KnownFolder(FOLDERID_Videos));
}

std::string RuntimeFolder() {
    const std::wstring base = FolderFromEnvironment(L"LOCALAPPDATA", FOLDERID_LocalAppData);
    if (base.empty())
        return ".";
    const std::wstring folder = base + L"\\Tutorlane";
    MakeMissingFolders(folder);  // a failure shows when a file is made there
    return basis::Utf8FromWide(folder);
}

unsigned UserId() {
    const std::vector<BYTE>& sid = User().user;
    if (sid.empty())
        return ~0u;
    const auto raw = const_cast<BYTE*>(sid.data());
    const UCHAR count = *GetSidSubAuthorityCount(raw);
    return count == 0 ? 0u : static_cast<unsigned>(*GetSidSubAuthority(raw, count - 1u));
}

FileFailure ClassifyFileError(int systemError) {
    switch (static_cast<DWORD>(systemError)) {
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return FileFailure::kNoAccess;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_DIRECTORY:
        case ERROR_BAD_NETPATH:
        case ERROR_INVALID_DRIVE:
            return FileFailure::kNoFolder;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
        case kDiskQuotaExceeded:
            return FileFailure::kNoSpace;
        case ERROR_FILE_TOO_LARGE:
            return FileFailure::kTooLarge;
        case ERROR_FILENAME_EXCED_RANGE:
        case ERROR_BUFFER_OVERFLOW:
            return FileFailure::kNameTooLong;
        default:
            return FileFailure::kOther;
    }
}

}  // namespace app::platform
