#include <windows.h>

#include "app/launch.h"
#include "app/platform/desktop_entry.h"
#include "app/platform/program_path.h"
#include "basis/platform/wide_text.h"

namespace app::platform {
namespace {

constexpr wchar_t kUserClasses[] = L"Software\\Classes";

class RegistryKey {
  public:
    // Creates (or opens) HKEY_CURRENT_USER\path for writing.
    explicit RegistryKey(const std::wstring& path) {
        if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, &key_,
                            nullptr) != ERROR_SUCCESS)
            key_ = nullptr;
    }
    ~RegistryKey() {
        if (key_ != nullptr)
            RegCloseKey(key_);
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Sets a text value (name empty: the key's default value).
    void Set(const wchar_t* name, const std::wstring& text) const {
        if (key_ == nullptr)
            return;
        const auto bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
        RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes);
    }

  private:
    HKEY key_ = nullptr;
};

}  // namespace

int RegisterUrlProtocol(const std::string& where) {
    const std::string program = ProgramPath();
    const std::wstring command = basis::WideFromUtf8(UrlProtocolCommand(program));
    const std::wstring icon = basis::WideFromUtf8(UrlProtocolIcon(program));
    if (command.empty())
        return 1;
    const std::wstring classes = where.empty() ? kUserClasses : basis::WideFromUtf8(where);
    const std::wstring protocol = classes + L"\\" + basis::WideFromUtf8(kUrlProtocolKey);
    // The keys are rewritten at every start, so that they follow the program when it moves.
    const RegistryKey root(protocol);
    root.Set(nullptr, L"URL:zembra.publish");
    // The shell hands URLs of a scheme to a class that has this value (its text is not used).
    root.Set(L"URL Protocol", L"");
    RegistryKey(protocol + L"\\DefaultIcon").Set(nullptr, icon);
    RegistryKey(protocol + L"\\shell\\open\\command").Set(nullptr, command);
    return 1;
}

}  // namespace app::platform
