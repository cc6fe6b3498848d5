// The launch through the "zembra.publish" URL protocol: the shifted address a classroom page
// hands over, the quick classroom made up when there is none, and the protocol registration.
#pragma once

#include <cstdint>
#include <string>

#include "app/ini_file.h"
#include "app/message_sink.h"

namespace app {

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

// Stores the payload of a launch URL as "Address" in section "Device". 0 (nothing written)
// for a missing or one-character command line.
int ParseLaunchUrl(const char* commandLine, const IniFile& ini);

// The plain quick-class address for classroom number n on host.
std::string QuickClassAddress(const std::string& host, long n);
// Invents a classroom number, stores its shifted address and tells the user.
int MakeQuickClassAddress(const IniFile& ini, MessageSink& messages, uint32_t seed);
std::string QuickClassMessage(long n);

// Makes the program's folder the current directory and registers the program as the handler
// of zembra.publish:// URLs (an XDG desktop entry, made the default where xdg-mime exists).
// applicationsDir empty: $XDG_DATA_HOME/applications or ~/.local/share/applications.
int RegisterUrlProtocol(const std::string& applicationsDir = "");
// Folder of the running program.
std::string ProgramFolder();

}  // namespace app
