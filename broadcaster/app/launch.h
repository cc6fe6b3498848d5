// The launch through the "zembra.publish" URL protocol: the shifted address a classroom page
// hands over, the quick classroom made up when there is none, and the texts that register the
// protocol: the desktop entry on Linux, the shell's open command on Windows
// (app/platform/desktop_entry.h writes them).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/ini_file.h"
#include "capture/message_sink.h"

namespace app {

using capture::MessageSink;

constexpr char kConfigFile[] = "./config.ini";
constexpr char kLaunchPrefix[] = "zembra.publish://";
constexpr size_t kMaxPayload = 511;
constexpr char kDefaultQuickClassHost[] = "127.0.0.1";

// In-place byte shifts: byte i moves by (i mod 3) + 1; a byte that becomes 0 ends the text.
void ShiftAddress(std::string& text);
void UnshiftAddress(std::string& text);

// Percent-decoding (a '%' needs two hex digits), then UTF-8 to the locale's character set;
// invalid sequences become the replacement character.
std::string DecodeLaunchText(const std::string& text);

// The address a launch URL carries (the text ParseLaunchUrl stores); none for a missing or
// one-character command line.
std::optional<std::string> LaunchAddress(const char* commandLine);
// Stores the payload of a launch URL as "Address" in section "Device". 0 (nothing written)
// for a missing or one-character command line. A failed write is told to failures, and so is
// an address longer than the settings can read back (AddressFits), which is not written (1).
int ParseLaunchUrl(const char* commandLine, const IniFile& ini, MessageSink* failures = nullptr);
// Whether the settings read the whole address back (at most kAddressReadBytes).
bool AddressFits(const std::string& address);
// The teacher's message for an address that does not fit.
std::string AddressTooLongMessage(const std::string& address);

// The plain quick-class address for classroom number n on host.
std::string QuickClassAddress(const std::string& host, long n);
// Invents a classroom number, stores its shifted address and tells the user.
int MakeQuickClassAddress(const IniFile& ini, MessageSink& messages, uint32_t seed);
std::string QuickClassMessage(long n);

constexpr char kDesktopEntryName[] = "zembra-publish.desktop";
constexpr char kIconName[] = "tutorlane-broadcaster";

// One argument of a desktop entry's Exec line, quoted and escaped as desktop entries require;
// "" for a text that can't be one (a line break).
std::string DesktopExecArgument(const std::string& argument);
// The desktop entry that makes program the handler of zembra.publish:// URLs.
std::string DesktopEntryText(const std::string& program);

// The URL protocol's key name and the command Windows runs for a zembra.publish:// URL: the
// program's path and the URL, each in quotes (a path with blanks stays one argument, and so
// does a URL). "" for a path that can't be quoted so (a quote or a line break in it, or none).
constexpr char kUrlProtocolKey[] = "zembra.publish";
std::string UrlProtocolCommand(const std::string& program);
// The icon of the URL protocol: the program's first icon.
std::string UrlProtocolIcon(const std::string& program);

}  // namespace app
