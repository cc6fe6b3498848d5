#include "support/media_tools.h"

#include <charconv>
#include <cstdlib>
#include <map>
#include <sstream>

namespace rtmp::test {
namespace {

constexpr auto kToolLimit = std::chrono::seconds(120);

// Runs ffmpeg with the words of `args` and then `output`; false with its complaint in *error.
bool RunFfmpeg(const std::string& args, const std::filesystem::path& output, std::string* error) {
    std::vector<std::string> argv{"ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-y"};
    std::istringstream words(args);
    for (std::string w; words >> w;)
        argv.push_back(w);
    argv.push_back(output.string());
    const ProcessResult r = RunProcess(argv, kToolLimit);
    if (!r.Succeeded() && error != nullptr)
        *error = "ffmpeg failed (exit " + std::to_string(r.exitCode) +
                 (r.timedOut ? ", timed out" : "") + "): " + r.err;
    return r.Succeeded();
}

}  // namespace

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
    const ProcessResult r = RunProcess(
        {"ffprobe", "-v", "error", "-count_frames", "-count_packets", "-show_entries",
         "stream=codec_type,codec_name,profile,width,height,sample_rate,channels,nb_read_frames,"
         "nb_read_packets",
         "-of", "compact", path.string()},
        kToolLimit);
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
        result.error =
            "ffprobe found no streams (exit " + std::to_string(r.exitCode) + "): " + r.err;
    return result;
}

std::vector<double> PacketTimes(const std::filesystem::path& path, char stream) {
    const ProcessResult r =
        RunProcess({"ffprobe", "-v", "error", "-select_streams", stream == 'a' ? "a:0" : "v:0",
                    "-show_entries", "packet=pts_time", "-of", "default=noprint_wrappers=1:nokey=1",
                    path.string()},
                   kToolLimit);
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
    // Frames keep their own times (a live stream's pictures are not on a fixed grid), so the
    // null output reports decoding faults only.
    const ProcessResult r =
        RunProcess({"ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-i", path.string(),
                    "-fps_mode", "passthrough", "-enc_time_base", "-1", "-f", "null", "-"},
                   kToolLimit);
    return r.Succeeded()
               ? r.err
               : "ffmpeg failed on " + path.string() + " (exit " + std::to_string(r.exitCode) +
                     (r.timedOut ? ", timed out" : "") + "): " + r.err;
}

}  // namespace rtmp::test
