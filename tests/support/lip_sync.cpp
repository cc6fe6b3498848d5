#include "support/lip_sync.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

#include "support/child_process.h"

namespace rtmp::test {
namespace {

constexpr auto kToolLimit = std::chrono::seconds(120);
constexpr double kLumaMiddle = 128;
constexpr double kLoud = 1.0 / 3;  // of full scale

// "key:value" out of a showinfo line; NAN when absent.
double Field(const std::string& line, const std::string& key) {
    const size_t at = line.find(key);
    if (at == std::string::npos)
        return NAN;
    return std::strtod(line.c_str() + at + key.size(), nullptr);
}

std::string FindFlashes(const std::string& path, std::vector<double>* out) {
    const ProcessResult r =
        RunProcess({"ffmpeg", "-nostdin", "-hide_banner", "-v", "info", "-i", path, "-map", "0:v:0",
                    "-fps_mode", "passthrough", "-vf", "showinfo", "-f", "null", "-"},
                   kToolLimit);
    if (!r.Succeeded())
        return "ffmpeg showinfo failed: " + r.err.substr(0, 400);
    std::istringstream lines(r.err);
    std::string line;
    bool wasDark = false;
    bool any = false;
    while (std::getline(lines, line)) {
        if (line.find("Parsed_showinfo") == std::string::npos ||
            line.find(" n:") == std::string::npos)
            continue;
        const double t = Field(line, "pts_time:");
        const double luma = Field(line, "mean:[");
        if (std::isnan(t) || std::isnan(luma))
            continue;
        any = true;
        const bool dark = luma < kLumaMiddle;
        if (!dark && wasDark) {
            // Limited-range luma back to the grey it was made from, and the grey to its age.
            const double gray = (luma - 16) * 255 / 219;
            const double age = std::max(0.0, (255 - gray) / kFlashFadeGrayPerMs);
            out->push_back(t * 1000 - age);
        }
        wasDark = dark;
    }
    return any ? "" : "no video frames in the recording";
}

// ffmpeg's silencedetect reports where each quiet stretch of at least 100 ms ends, to the sample,
// on the stream's own time line. A beep counts once the quiet after it has begun, so the report
// at the end of the stream is no beep.
std::string FindBeeps(const std::string& path, std::vector<double>* out) {
    const ProcessResult r = RunProcess(
        {"ffmpeg", "-nostdin", "-hide_banner", "-v", "info", "-i", path, "-map", "0:a:0", "-af",
         "silencedetect=noise=" + std::to_string(kLoud) + ":d=0.1", "-f", "null", "-"},
        kToolLimit);
    if (!r.Succeeded())
        return "ffmpeg silencedetect failed: " + r.err.substr(0, 400);
    std::istringstream lines(r.err);
    double beep = NAN;
    for (std::string line; std::getline(lines, line);) {
        if (const double end = Field(line, "silence_end:"); !std::isnan(end))
            beep = end * 1000;
        else if (line.find("silence_start:") != std::string::npos && !std::isnan(beep))
            out->push_back(std::exchange(beep, NAN));
    }
    return "";
}

}  // namespace

FlashesAndBeeps FindFlashesAndBeeps(const std::filesystem::path& recording) {
    FlashesAndBeeps e;
    e.error = FindFlashes(recording.string(), &e.flashesMs);
    if (e.error.empty())
        e.error = FindBeeps(recording.string(), &e.beepsMs);
    return e;
}

std::vector<double> PairOffsets(const FlashesAndBeeps& events, double maxApartMs) {
    std::vector<double> offsets;
    for (double beep : events.beepsMs) {
        double best = NAN;
        for (double flash : events.flashesMs) {
            if (std::isnan(best) || std::fabs(beep - flash) < std::fabs(best))
                best = beep - flash;
        }
        if (!std::isnan(best) && std::fabs(best) <= maxApartMs)
            offsets.push_back(best);
    }
    return offsets;
}

std::optional<long> LastFlvTagTime(const std::filesystem::path& flv) {
    std::ifstream in(flv, std::ios::binary);
    if (!in)
        return std::nullopt;
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(data[i]); };
    if (data.size() < 13 || data.compare(0, 3, "FLV") != 0)
        return std::nullopt;
    size_t at = 9 + 4;  // header, first previous-tag size
    std::optional<long> last;
    while (at + 11 <= data.size()) {
        const size_t size =
            (size_t{byte(at + 1)} << 16) | (size_t{byte(at + 2)} << 8) | byte(at + 3);
        if (at + 11 + size + 4 > data.size())
            break;  // still being written
        const long t =
            static_cast<long>((uint32_t{byte(at + 7)} << 24) | (uint32_t{byte(at + 4)} << 16) |
                              (uint32_t{byte(at + 5)} << 8) | byte(at + 6));
        const int type = byte(at) & 0x1F;
        if (type == 8 || type == 9)
            last = t;
        at += 11 + size + 4;
    }
    return last;
}

}  // namespace rtmp::test
