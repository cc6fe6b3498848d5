#include "support/media_tools.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>
#include <utility>

namespace rtmp::test {
namespace {

std::string Complaint(const std::string& tool, const ProcessResult& r) {
    return tool + " failed (exit " + std::to_string(r.exitCode) +
           (r.timedOut ? ", timed out" : "") + "): " + r.err;
}

bool RunFfmpeg(const std::string& args, const std::filesystem::path& output, std::string* error) {
    const ProcessResult r =
        RunTool("ffmpeg -nostdin -hide_banner -v error -y " + args + " {}", {output});
    if (!r.Succeeded() && error != nullptr)
        *error = Complaint("ffmpeg", r);
    return r.Succeeded();
}

}  // namespace

double NumberAfter(const std::string& text, const std::string& key) {
    const size_t at = text.find(key);
    return at == std::string::npos ? NAN : std::strtod(text.c_str() + at + key.size(), nullptr);
}

bool MakeTestH264(const std::filesystem::path& path, int width, int height, int fps, int frames,
                  int keyint, std::string* error) {
    const auto n = [](int v) { return std::to_string(v); };
    return RunFfmpeg("-f lavfi -i testsrc=size=" + n(width) + "x" + n(height) + ":rate=" + n(fps) +
                         " -frames:v " + n(frames) +
                         " -c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 0 -g " + n(keyint) +
                         " -keyint_min " + n(keyint) +
                         " -sc_threshold 0 -x264-params slices=1:sliced-threads=0 -f h264",
                     path, error);
}

bool MakeTestAdts(const std::filesystem::path& path, int sampleRate, int channels, double seconds,
                  std::string* error) {
    return RunFfmpeg("-f lavfi -i sine=frequency=440:sample_rate=" + std::to_string(sampleRate) +
                         " -t " + std::to_string(seconds) + " -ac " + std::to_string(channels) +
                         " -c:a aac -f adts",
                     path, error);
}

ProbeResult Probe(const std::filesystem::path& path) {
    ProbeResult result;
    const ProcessResult r = RunTool(
        "ffprobe -v error -count_frames -count_packets -show_entries stream=codec_type,codec_name,"
        "profile,width,height,sample_rate,channels,nb_read_frames,nb_read_packets -of compact {}",
        {path});
    // One line a stream: "stream|key=value|key=value...".
    std::istringstream lines(r.out);
    for (std::string line; r.Succeeded() && std::getline(lines, line);) {
        if (line.rfind("stream|", 0) != 0)
            continue;
        std::map<std::string, std::string> fields;
        std::istringstream items(line);
        for (std::string item; std::getline(items, item, '|');)
            if (const size_t eq = item.find('='); eq != std::string::npos)
                fields[item.substr(0, eq)] = item.substr(eq + 1);
        const auto number = [&](const char* key, auto fallback) {
            const std::string& text = fields[key];
            std::from_chars(text.data(), text.data() + text.size(), fallback);
            return fallback;
        };
        result.streams.push_back({fields["codec_type"], fields["codec_name"], fields["profile"],
                                  number("width", 0), number("height", 0), number("sample_rate", 0),
                                  number("channels", 0), number("nb_read_frames", -1L),
                                  number("nb_read_packets", -1L)});
    }
    result.ok = !result.streams.empty();
    if (!result.ok)
        result.error = "no streams: " + Complaint("ffprobe", r);
    return result;
}

std::vector<double> PacketTimes(const std::filesystem::path& path, char stream) {
    const ProcessResult r =
        RunTool(std::string("ffprobe -v error -select_streams ") + (stream == 'a' ? "a:0" : "v:0") +
                    " -show_entries packet=pts_time -of default=noprint_wrappers=1:nokey=1 {}",
                {path});
    std::vector<double> times;
    std::istringstream lines(r.out);
    for (std::string line; r.Succeeded() && std::getline(lines, line);) {
        char* end = nullptr;
        const double seconds = std::strtod(line.c_str(), &end);
        if (end != line.c_str() && *end == '\0')  // not "N/A"
            times.push_back(seconds * 1000.0);
    }
    return times;
}

std::string DecodeErrors(const std::filesystem::path& path) {
    const ProcessResult r =
        RunTool("ffmpeg -nostdin -hide_banner -v error -i {} -f null -", {path});
    return r.Succeeded() ? r.err : Complaint("ffmpeg on " + path.string(), r);
}

std::string FrameGridFaults(const std::filesystem::path& path, int fps) {
    const std::vector<double> times = PacketTimes(path, 'v');
    if (times.size() < 2)
        return "fewer than two pictures in " + path.string();
    const double period = 1000.0 / fps;
    size_t onPeriod = 0, offGrid = 0;
    double shortest = INFINITY;
    for (size_t i = 1; i < times.size(); ++i) {
        const double gap = times[i] - times[i - 1];
        onPeriod += std::abs(gap - period) <= 5.0 ? 1 : 0;
        offGrid += std::abs(gap - period * std::max(1.0, std::round(gap / period))) > 5.0 ? 1 : 0;
        shortest = std::min(shortest, gap);
    }
    const size_t gaps = times.size() - 1;
    if (onPeriod * 100 >= gaps * 97 && offGrid == 0 && shortest >= period / 2)
        return {};
    std::ostringstream report;
    report << onPeriod << " of " << gaps << " intervals within 5 ms of " << period << " ms, "
           << offGrid << " not a whole number of periods, the shortest " << shortest
           << " ms; the first ones:";
    for (size_t i = 1; i < std::min<size_t>(times.size(), 40); ++i)
        report << ' ' << times[i] - times[i - 1];
    return report.str();
}

// showinfo gives each picture's time and luma; silencedetect where each quiet of >= 100 ms ends.
// A beep counts once the quiet after it has begun.
FlashesAndBeeps FindFlashesAndBeeps(const std::filesystem::path& recording) {
    FlashesAndBeeps e;
    const ProcessResult r = RunTool(
        "ffmpeg -nostdin -hide_banner -v info -i {} -map 0:v:0 -map 0:a:0 -fps_mode "
        "passthrough -vf showinfo -af silencedetect=noise=" +
            std::to_string(1.0 / 3) + ":d=0.1 -f null -",
        {recording});
    if (!r.Succeeded())
        return {{}, {}, "ffmpeg failed: " + r.err.substr(0, 400)};
    std::istringstream lines(r.err);
    bool wasDark = false;
    double beep = NAN;
    for (std::string line; std::getline(lines, line);) {
        const double t = NumberAfter(line, "pts_time:"), luma = NumberAfter(line, "mean:["),
                     quietEnd = NumberAfter(line, "silence_end:");
        if (line.find("Parsed_showinfo") != std::string::npos && !std::isnan(t) &&
            !std::isnan(luma)) {
            const bool dark = luma < 128;
            if (!dark && wasDark) {
                // Limited-range luma back to the grey, the grey to its age.
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
    return e;
}

std::vector<double> PairOffsets(const FlashesAndBeeps& events, double maxApartMs) {
    std::vector<double> offsets;
    for (const double beep : events.beepsMs) {
        const auto flash = std::min_element(
            events.flashesMs.begin(), events.flashesMs.end(),
            [&](double a, double b) { return std::fabs(beep - a) < std::fabs(beep - b); });
        if (flash != events.flashesMs.end() && std::fabs(beep - *flash) <= maxApartMs)
            offsets.push_back(beep - *flash);
    }
    return offsets;
}

std::optional<long> LastFlvTagTime(const std::filesystem::path& flv) {
    const std::string data = ReadTextFile(flv);
    const auto byte = [&](size_t i) { return long{static_cast<uint8_t>(data[i])}; };
    std::optional<long> last;
    // Tags after the 9-byte header and first previous-tag size; one still being written ends it.
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
