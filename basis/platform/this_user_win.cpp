#include "basis/platform/this_user.h"

#include <aclapi.h>

#include "basis/platform/wide_text.h"

namespace basis::platform {
namespace {

std::vector<BYTE> CopyOfSid(PSID sid) {
    if (sid == nullptr || IsValidSid(sid) == 0)
        return {};
    std::vector<BYTE> copy(GetLengthSid(sid));
    if (CopySid(static_cast<DWORD>(copy.size()), copy.data(), sid) == 0)
        return {};
    return copy;
}

std::vector<BYTE> TokenPart(HANDLE token, TOKEN_INFORMATION_CLASS part) {
    DWORD size = 0;
    GetTokenInformation(token, part, nullptr, 0, &size);
    if (size == 0)
        return {};
    std::vector<BYTE> info(size);
    if (GetTokenInformation(token, part, info.data(), size, &size) == 0)
        return {};
    return info;
}

}  // namespace

const ThisUser& User() {
    static const ThisUser sids = [] {
        ThisUser s;
        HANDLE raw = nullptr;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw) == 0)
            return s;
        const OwnedHandle token(raw);
        const std::vector<BYTE> user = TokenPart(token.Get(), TokenUser);
        const std::vector<BYTE> owner = TokenPart(token.Get(), TokenOwner);
        if (user.size() >= sizeof(TOKEN_USER))
            s.user = CopyOfSid(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid);
        if (owner.size() >= sizeof(TOKEN_OWNER))
            s.owner = CopyOfSid(reinterpret_cast<const TOKEN_OWNER*>(owner.data())->Owner);
        return s;
    }();
    return sids;
}

bool OwnedByThisUser(HANDLE handle) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    const ThisUser& who = User();
    const auto sameAs = [owner](const std::vector<BYTE>& sid) {
        return !sid.empty() && EqualSid(owner, const_cast<BYTE*>(sid.data())) != 0;
    };
    const bool own = owner != nullptr && (sameAs(who.user) || sameAs(who.owner));
    LocalFree(descriptor);
    return own;
}

HandleKind KindOf(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(handle) != FILE_TYPE_DISK || GetFileInformationByHandle(handle, &info) == 0)
        return HandleKind::kOther;
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0)
        return HandleKind::kOther;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return HandleKind::kFolder;
    return HandleKind::kFile;
}

bool HasOtherNames(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(handle, &info) == 0 || info.nNumberOfLinks != 1;
}

PrivateSecurity::PrivateSecurity(bool folder) {
    const ThisUser& who = User();
    if (who.user.empty())
        return;
    const auto sid = const_cast<BYTE*>(who.user.data());
    const DWORD aclBytes = static_cast<DWORD>(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) +
                                              GetLengthSid(sid) - sizeof(DWORD));
    acl_.resize(aclBytes);
    auto* acl = reinterpret_cast<ACL*>(acl_.data());
    const DWORD inherit = folder ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0;
    ready_ = InitializeAcl(acl, aclBytes, ACL_REVISION) != 0 &&
             AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, sid) != 0 &&
             InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) != 0 &&
             SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) != 0 &&
             SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED) != 0;
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
}

std::string SystemErrorText(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring wide = length > 0 && text != nullptr ? std::wstring(text, length) : std::wstring();
    LocalFree(text);
    while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' ' ||
                             wide.back() == L'.'))
        wide.pop_back();
    if (wide.empty())
        return "Windows error " + std::to_string(error);
    return basis::Utf8FromWide(wide);
}

std::string Reason(const std::string& what, DWORD error) {
    return what + ": " + SystemErrorText(error);
}

std::wstring EnvironmentValue(const wchar_t* name) {
    const DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
    if (needed == 0)
        return {};
    std::wstring value(needed, L'\0');
    const DWORD length = GetEnvironmentVariableW(name, value.data(), needed);
    if (length == 0 || length >= needed)
        return {};
    value.resize(length);
    return value;
}

}  // namespace basis::platform
