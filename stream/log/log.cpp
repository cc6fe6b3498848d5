#include "log/log.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "log/platform/console.h"
#include "log/platform/format_check.h"
#include "log/platform/private_file.h"

namespace rtmp::log {
namespace {

std::atomic<int> g_consoleColor{7};

void AppendFile(const std::string& path, const char* head, const void* data, size_t length,
                size_t maxBytes) noexcept {
    try {
        AppendPrivate(path, head, data, length, maxBytes);
    } catch (...) {
    }
}

void ToConsole(const char* line) {
    std::fputs(line, stdout);
    std::fflush(stdout);
}

}  // namespace

Switches& GetSwitches() noexcept {
    static Switches switches;
    return switches;
}

void SetLog(int console, int flags) noexcept {
    RemoveLogFiles();
    Switches& s = GetSwitches();
    s.console.store(console != 0 ? 1 : 0);
    s.file.store((flags & kFlagFile) != 0 ? 1 : 0);
    s.traffic.store((flags & kFlagTraffic) != 0 ? 1 : 0);
}

std::string LogDir() {
    return PrivateLogDir();
}
namespace {
// A file of the log folder; "" when there is no folder to write to.
std::string InLogDir(const char* name) {
    const std::string dir = LogDir();
    return dir.empty() ? std::string() : dir + "/" + name;
}

// Formats one line and hands it to `write`; 0 for a missing or unusable format.
LOG_PRINTF_FORMAT(2, 0)
int WriteFormatted(int (*write)(const char*) noexcept, const char* fmt, va_list args) noexcept {
    if (fmt == nullptr)
        return 0;
    char text[kMaxLine] = {};
    if (std::vsnprintf(text, sizeof text, fmt, args) < 0) {
        write("::ShowFMT().Erro.");
        return 0;
    }
    write(text);
    return 1;
}
}  // namespace

std::string LogPath() {
    return InLogDir("Vistrel.log");
}
std::string SendDumpPath() {
    return InLogDir("Vistrel.TcpSend");
}
std::string RecvDumpPath() {
    return InLogDir("Vistrel.TcpRecv");
}
std::string ErrorPath() {
    return InLogDir("Vistrel.err");
}

const char* FormatLogTimeAt(char* buf, long long seconds) noexcept {
    if (buf == nullptr)
        return "";
    namespace chrono = std::chrono;
    const chrono::sys_seconds t{chrono::seconds{seconds + 28800}};
    const chrono::sys_days day = chrono::floor<chrono::days>(t);
    const chrono::year_month_day date{day};
    const chrono::hh_mm_ss<chrono::seconds> time{t - day};
    std::snprintf(buf, 64, "%d-%02u-%02u %02d:%02d:%02d", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return buf;
}

const char* FormatLogTime(char* buf) noexcept {
    return FormatLogTimeAt(buf, static_cast<long long>(std::time(nullptr)));
}

int WriteLog(const char* line) noexcept {
    if (line == nullptr || std::strlen(line) > static_cast<size_t>(kMaxLine))
        return 0;
    const Switches& s = GetSwitches();
    if (s.console.load(std::memory_order_relaxed) != 0)
        ToConsole(line);
    if (s.file.load(std::memory_order_relaxed) != 0)
        AppendFile(LogPath(), line, nullptr, 0, kMaxLogFileBytes);
    return 1;
}

int ForceText(const char* text) noexcept {
    if (text == nullptr || std::strlen(text) > static_cast<size_t>(kMaxLine))
        return 0;
    char stamp[64];
    char record[16384];
    std::snprintf(record, sizeof record, "%s\n[%s] ", text, FormatLogTime(stamp));
    if (std::strlen(record) > static_cast<size_t>(kMaxLine))
        return 0;
    if (GetSwitches().console.load(std::memory_order_relaxed) != 0)
        ToConsole(record);
    try {
        AppendFile(LogPath(), record, nullptr, 0, kMaxLogFileBytes);
    } catch (...) {
    }
    return 1;
}

int ForceFMT(const char* fmt, ...) noexcept {
    va_list args;
    va_start(args, fmt);
    const int result = WriteFormatted(ForceText, fmt, args);
    va_end(args);
    return result;
}

int ShowText(const char* text) noexcept {
    if (!LinesOn() || text == nullptr)
        return 0;
    if (std::strlen(text) > static_cast<size_t>(kMaxLine))
        return 0;
    char stamp[64];
    char record[16384];
    std::snprintf(record, sizeof record, "%s\n[%s] ", text, FormatLogTime(stamp));
    return WriteLog(record);
}

int ShowFMT(const char* fmt, ...) noexcept {
    if (!LinesOn())
        return 1;
    va_list args;
    va_start(args, fmt);
    const int result = WriteFormatted(ShowText, fmt, args);
    va_end(args);
    return result;
}

int SetConsoleColor(int attribute) noexcept {
    if (g_consoleColor.exchange(attribute) == attribute)
        return 0;
    ShowConsoleColor(attribute);
    return 1;
}

void RemoveLogFiles() noexcept {
    try {
        RemovePrivate(LogPath());
        RemovePrivate(SendDumpPath());
        RemovePrivate(RecvDumpPath());
    } catch (...) {
    }
}

void DumpTcpSend(const void* data, size_t length) noexcept {
    try {
        AppendFile(SendDumpPath(), "----------------", data, length, kMaxDumpFileBytes);
    } catch (...) {
    }
}

void DumpTcpRecv(const void* data, size_t length) noexcept {
    try {
        AppendFile(RecvDumpPath(), "----------------", data, length, kMaxDumpFileBytes);
    } catch (...) {
    }
}

void AppendErrorFile(const char* text, const void* data, size_t length) noexcept {
    try {
        AppendFile(ErrorPath(), text, data, length, kMaxLogFileBytes);
    } catch (...) {
    }
}

}  // namespace rtmp::log
