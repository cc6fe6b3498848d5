// The RTMP library's log: process-wide switches, lines with UTC+8 stamps, traffic dumps.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "log/platform/format_check.h"

namespace rtmp::log {

struct Switches {
    std::atomic<int> console{0};  // lines to standard output
    std::atomic<int> file{0};     // lines appended to the log file
    std::atomic<int> traffic{0};  // raw sent/received blocks appended to the dump files
};
Switches& GetSwitches() noexcept;

constexpr int kFlagFile = 0x001;
constexpr int kFlagTraffic = 0x100;
constexpr int kMaxLine = 8192;
// Size limits of the files: past them the oldest half of a file goes.
constexpr size_t kMaxLogFileBytes = size_t{1} << 20;    // Vistrel.log, Vistrel.err
constexpr size_t kMaxDumpFileBytes = size_t{64} << 20;  // the two traffic dumps

inline bool LinesOn() noexcept {
    const Switches& s = GetSwitches();
    return s.console.load(std::memory_order_relaxed) != 0 ||
           s.file.load(std::memory_order_relaxed) != 0;
}
inline bool TrafficOn() noexcept {
    return GetSwitches().traffic.load(std::memory_order_relaxed) != 0;
}

// Deletes the old log and dump files, then sets the three switches.
void SetLog(int console, int flags) noexcept;

// Directory of the log files: $VISTREL_LOG_DIR, else the user's own state folder
// ($XDG_STATE_HOME/tutorlane, default ~/.local/state/tutorlane); "" when there is none.
std::string LogDir();
std::string LogPath();       // Vistrel.log
std::string SendDumpPath();  // Vistrel.TcpSend
std::string RecvDumpPath();  // Vistrel.TcpRecv
std::string ErrorPath();     // Vistrel.err

// Writes "YYYY-MM-DD hh:mm:ss" of the current time in UTC+8 into buf (at least 64 bytes).
const char* FormatLogTime(char* buf) noexcept;
// Same for a given calendar time in seconds.
const char* FormatLogTimeAt(char* buf, long long seconds) noexcept;

int WriteLog(const char* line) noexcept;
int ShowText(const char* text) noexcept;
int ShowFMT(const char* fmt, ...) noexcept LOG_PRINTF_FORMAT(1, 2);
// A line that goes to the log file whatever the file switch says (and to standard output when
// that is on); the switches themselves stay as the caller set them.
int ForceText(const char* text) noexcept;
int ForceFMT(const char* fmt, ...) noexcept LOG_PRINTF_FORMAT(1, 2);
int SetConsoleColor(int attribute) noexcept;
void RemoveLogFiles() noexcept;

void DumpTcpSend(const void* data, size_t length) noexcept;
void DumpTcpRecv(const void* data, size_t length) noexcept;
// Appends a text (no line end) and then raw bytes to the error file, whatever the switches.
void AppendErrorFile(const char* text, const void* data, size_t length) noexcept;

}  // namespace rtmp::log
