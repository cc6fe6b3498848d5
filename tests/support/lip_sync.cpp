#include "support/lip_sync.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <utility>

#include "support/child_process.h"

namespace rtmp::test {
namespace {

constexpr double kLumaMiddle = 128;
constexpr double kLoud = 1.0 / 3;  // of full scale

// "key:value" out of a log line; NAN when absent.
double Field(const std::string& line, const std::string& key) {
    const size_t at = line.find(key);
    return at == std::string::npos ? NAN : std::strtod(line.c_str() + at + key.size(), nullptr);
}

}  // namespace

// One decoding pass: showinfo reports each picture's time and mean luma; silencedetect reports
// where each quiet stretch of at least 100 ms ends, to the sample, on the stream's own time line.
// A beep counts once the quiet after it has begun, so the report at the end is no beep.
FlashesAndBeeps FindFlashesAndBeeps(const std::filesystem::path& recording) {
    FlashesAndBeeps e;
    const ProcessResult r = RunProcess({"ffmpeg",
                                        "-nostdin",
                                        "-hide_banner",
                                        "-v",
                                        "info",
                                        "-i",
                                        recording.string(),
                                        "-map",
                                        "0:v:0",
                                        "-map",
                                        "0:a:0",
                                        "-fps_mode",
                                        "passthrough",
                                        "-vf",
                                        "showinfo",
                                        "-af",
                                        "silencedetect=noise=" + std::to_string(kLoud) + ":d=0.1",
                                        "-f",
                                        "null",
                                        "-"},
                                       std::chrono::seconds(120));
    if (!r.Succeeded()) {
        e.error = "ffmpeg failed: " + r.err.substr(0, 400);
        return e;
    }
    std::istringstream lines(r.err);
    bool wasDark = false, anyPicture = false;
    double beep = NAN;
    for (std::string line; std::getline(lines, line);) {
        const double t = Field(line, "pts_time:"), luma = Field(line, "mean:["),
                     quietEnd = Field(line, "silence_end:");
        if (line.find("Parsed_showinfo") != std::string::npos && !std::isnan(t) &&
            !std::isnan(luma)) {
            anyPicture = true;
            const bool dark = luma < kLumaMiddle;
            if (!dark && wasDark) {
                // Limited-range luma back to the grey it was made from, and the grey to its age.
                const double gray = (luma - 16) * 255 / 219;
                e.flashesMs.push_back(t * 1000 - std::max(0.0, (255 - gray) / kFlashFadeGrayPerMs));
            }
            wasDark = dark;
        } else if (!std::isnan(quietEnd)) {
            beep = quietEnd * 1000;
        } else if (line.find("silence_start:") != std::string::npos && !std::isnan(beep)) {
            e.beepsMs.push_back(std::exchange(beep, NAN));
        }
    }
    if (!anyPicture)
        e.error = "no video frames in the recording";
    return e;
}

std::vector<double> PairOffsets(const FlashesAndBeeps& events, double maxApartMs) {
    std::vector<double> offsets;
    for (const double beep : events.beepsMs) {
        double nearest = INFINITY;  // beep minus the nearest flash
        for (const double flash : events.flashesMs)
            nearest = std::fabs(beep - flash) < std::fabs(nearest) ? beep - flash : nearest;
        if (std::fabs(nearest) <= maxApartMs)
            offsets.push_back(nearest);
    }
    return offsets;
}

std::optional<long> LastFlvTagTime(const std::filesystem::path& flv) {
    const std::string data = ReadTextFile(flv);
    const auto byte = [&](size_t i) { return long{static_cast<uint8_t>(data[i])}; };
    if (data.compare(0, 3, "FLV") != 0)
        return std::nullopt;
    std::optional<long> last;
    // Tags follow the 9-byte header and the first previous-tag size; a tag still being written
    // ends the walk.
    for (size_t at = 13, size = 0; at + 11 <= data.size(); at += 11 + size + 4) {
        size = static_cast<size_t>((byte(at + 1) << 16) | (byte(at + 2) << 8) | byte(at + 3));
        if (at + 11 + size + 4 > data.size())
            break;
        if ((byte(at) & 0x1F) == 8 || (byte(at) & 0x1F) == 9)
            last = (byte(at + 7) << 24) | (byte(at + 4) << 16) | (byte(at + 5) << 8) | byte(at + 6);
    }
    return last;
}

}  // namespace rtmp::test
