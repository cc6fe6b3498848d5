#include "app/launch.h"

#include "app/platform/locale_text.h"
#include "app/settings.h"
#include "app/user_config.h"
#include "basis/translation.h"

#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

namespace app {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string PercentDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int hi = HexValue(text[i + 1]);
            const int lo = HexValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

// Code points of UTF-8 bytes; every invalid or cut sequence gives U+FFFD.
std::vector<char32_t> DecodeUtf8(const std::string& bytes) {
    std::vector<char32_t> out;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        int extra = 0;
        char32_t cp = 0;
        char32_t min = 0;
        if (c < 0x80) {
            out.push_back(c);
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
            min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
            min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
            min = 0x10000;
        } else {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        int k = 1;
        for (; k <= extra && i + static_cast<size_t>(k) < n &&
               (p[i + static_cast<size_t>(k)] & 0xC0) == 0x80;
             ++k) {
            cp = (cp << 6) | (p[i + static_cast<size_t>(k)] & 0x3F);
        }
        if (k <= extra || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(0xFFFD);
            i += static_cast<size_t>(k);
            continue;
        }
        out.push_back(cp);
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Characters that make an Exec argument need quotes.
constexpr char kExecReserved[] = " \t\n\"'\\><~|&;$*?#()`";

}  // namespace

void ShiftAddress(std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char>(static_cast<unsigned char>(text[i]) + (i % 3) + 1);
        if (text[i] == '\0') {
            text.resize(i);
            break;
        }
    }
}

void UnshiftAddress(std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char>(static_cast<unsigned char>(text[i]) - (i % 3) - 1);
        if (text[i] == '\0') {
            text.resize(i);
            break;
        }
    }
}

std::string DecodeLaunchText(const std::string& text) {
    std::string utf8;
    for (const char32_t cp : DecodeUtf8(PercentDecode(text)))
        AppendUtf8(utf8, cp);
    return platform::ToProgramCharset(utf8);
}

std::optional<std::string> LaunchAddress(const char* commandLine) {
    if (commandLine == nullptr)
        return std::nullopt;
    const size_t length = std::strlen(commandLine);
    if (length < 2)
        return std::nullopt;
    const size_t prefix = std::strlen(kLaunchPrefix);
    std::string payload = length > prefix ? std::string(commandLine + prefix) : std::string();
    if (payload.size() > kMaxPayload)
        payload.resize(kMaxPayload);
    std::string decoded = DecodeLaunchText(payload);
    const size_t amp = decoded.rfind('&');
    decoded = amp == std::string::npos ? std::string() : decoded.substr(0, amp);
    if (!decoded.empty() && decoded.back() == '/')
        decoded.pop_back();
    // A line break in the value would write further keys into the settings file.
    std::string stored;
    for (char c : decoded) {
        if (static_cast<unsigned char>(c) >= 0x20)
            stored.push_back(c);
    }
    return stored;
}

int ParseLaunchUrl(const char* commandLine, const IniFile& ini, MessageSink* failures) {
    const std::optional<std::string> address = LaunchAddress(commandLine);
    if (!address)
        return 0;
    if (!AddressFits(*address)) {
        if (failures != nullptr)
            failures->ShowMessage(AddressTooLongMessage(*address));
        return 1;
    }
    std::string error;
    if (!ini.WriteString("Device", "Address", *address, &error) && failures != nullptr)
        failures->ShowMessage(SettingsWriteFailedMessage(error));
    return 1;
}

bool AddressFits(const std::string& address) {
    return address.size() <= kAddressReadBytes;
}

std::string AddressTooLongMessage(const std::string& address) {
    return basis::Substitute(
        basis::Translate("launch", "课堂地址太长（%1 字节，最多 %2 字节），不能使用。"),
        {std::to_string(address.size()), std::to_string(kAddressReadBytes)});
}

std::string QuickClassAddress(const std::string& host, long n) {
    const std::string number = std::to_string(n);
    return "rtmp://" + host + ":10086/encoder/qkz/mp4:" + number + ".mp4&" + number;
}

std::string QuickClassMessage(long n) {
    return basis::Substitute(
        basis::Translate("launch",
                         "您使用的是【极速开课模式】, 系统已经自动为您开通了网络课堂, 课堂ID是%1, "
                         "请在软件界面左上方点击【上课】按钮, 然后邀请更多人参加你的课堂."),
        {std::to_string(n)});
}

int MakeQuickClassAddress(const IniFile& ini, MessageSink& messages, uint32_t seed) {
    std::mt19937 random(seed);
    std::string digits;
    for (int i = 0; i < 8; ++i)
        digits.push_back(static_cast<char>('0' + random() % 10));
    const long n = std::strtol(digits.c_str(), nullptr, 10);
    const std::string host = ini.GetString("Device", "QuickClassHost", kDefaultQuickClassHost, 255);
    std::string address = QuickClassAddress(host.empty() ? kDefaultQuickClassHost : host, n);
    ShiftAddress(address);
    std::string error;
    if (!ini.WriteString("Device", "Address", address, &error))
        messages.ShowMessage(SettingsWriteFailedMessage(error));
    messages.ShowMessage(QuickClassMessage(n));
    return 1;
}

std::string DesktopExecArgument(const std::string& argument) {
    if (argument.find_first_of("\r\n") != std::string::npos)
        return {};
    // Quoting: an argument with a reserved character goes in double quotes, inside which
    // '"', '`', '$' and '\\' take a backslash.
    const bool quote =
        argument.empty() || argument.find_first_of(kExecReserved) != std::string::npos;
    std::string quoted;
    if (quote)
        quoted.push_back('"');
    for (char c : argument) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\'))
            quoted.push_back('\\');
        quoted.push_back(c);
    }
    if (quote)
        quoted.push_back('"');
    // Then the value's own escapes: '%' starts a field code, '\\' starts a string escape.
    std::string value;
    for (char c : quoted) {
        if (c == '%')
            value.push_back('%');
        else if (c == '\\')
            value.push_back('\\');
        value.push_back(c);
    }
    return value;
}

std::string DesktopEntryText(const std::string& program) {
    const std::string exec = DesktopExecArgument(program);
    if (exec.empty())
        return {};
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Tutorlane Broadcaster\n"
           "Exec=" +
           exec +
           " %u\n"
           "Icon=" +
           std::string(kIconName) +
           "\n"
           "NoDisplay=true\n"
           "Terminal=false\n"
           "MimeType=x-scheme-handler/zembra.publish;\n";
}

std::string UrlProtocolCommand(const std::string& program) {
    if (program.empty() || program.find_first_of("\"\r\n") != std::string::npos)
        return {};
    return "\"" + program + "\" \"%1\"";
}

std::string UrlProtocolIcon(const std::string& program) {
    if (program.empty() || program.find_first_of("\"\r\n") != std::string::npos)
        return {};
    return "\"" + program + "\",0";
}

}  // namespace app
