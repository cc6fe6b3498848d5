#include "support/media_tools.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <sstream>

namespace rtmp::test {
namespace {

constexpr auto kToolLimit = std::chrono::seconds(120);

bool RunTool(const std::vector<std::string>& argv, std::string* error) {
    ProcessResult r = RunProcess(argv, kToolLimit);
    if (r.Succeeded())
        return true;
    if (error != nullptr) {
        *error = argv[0] + " failed (exit " + std::to_string(r.exitCode) +
                 (r.timedOut ? ", timed out" : "") + "): " + r.err;
    }
    return false;
}

long ToLong(const std::string& text, long fallback) {
    long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return (ec == std::errc() && end == text.data() + text.size()) ? value : fallback;
}

// The words of `line`, split at spaces, then `more`.
std::vector<std::string> Args(const std::string& line, std::vector<std::string> more = {}) {
    std::vector<std::string> args;
    std::istringstream words(line);
    for (std::string w; words >> w;)
        args.push_back(w);
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

}  // namespace

bool MakeTestH264(const std::filesystem::path& path, int width, int height, int fps, int frames,
                  int keyint, std::string* error) {
    const auto n = [](int v) { return std::to_string(v); };
    return RunTool(
        Args("ffmpeg -nostdin -hide_banner -v error -y -f lavfi -i testsrc=size=" + n(width) + "x" +
                 n(height) + ":rate=" + n(fps) + " -frames:v " + n(frames) +
                 " -c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 0 -g " + n(keyint) +
                 " -keyint_min " + n(keyint) +
                 " -sc_threshold 0 -x264-params slices=1:sliced-threads=0 -f h264",
             {path.string()}),
        error);
}

bool MakeTestAdts(const std::filesystem::path& path, int sampleRate, int channels, double seconds,
                  std::string* error) {
    return RunTool(Args("ffmpeg -nostdin -hide_banner -v error -y -f lavfi -i "
                        "sine=frequency=440:sample_rate=" +
                            std::to_string(sampleRate) + " -t " + std::to_string(seconds) +
                            " -ac " + std::to_string(channels) + " -c:a aac -f adts",
                        {path.string()}),
                   error);
}

const ProbedStream* ProbeResult::Find(const std::string& codecType) const {
    const auto s = std::find_if(streams.begin(), streams.end(),
                                [&](const ProbedStream& p) { return p.codecType == codecType; });
    return s == streams.end() ? nullptr : &*s;
}

ProbeResult Probe(const std::filesystem::path& path) {
    ProbeResult result;
    ProcessResult r =
        RunProcess({"ffprobe", "-v", "error", "-count_frames", "-count_packets", "-show_entries",
                    "stream=index,codec_type,codec_name,profile,width,height,sample_rate,channels,"
                    "nb_read_frames,nb_read_packets",
                    "-of", "default", path.string()},
                   kToolLimit);
    if (!r.Succeeded()) {
        result.error = "ffprobe failed (exit " + std::to_string(r.exitCode) + "): " + r.err;
        return result;
    }
    // Sections [STREAM] ... [/STREAM] of key=value lines.
    std::istringstream lines(r.out);
    std::string line;
    ProbedStream* current = nullptr;
    while (std::getline(lines, line)) {
        if (line == "[STREAM]") {
            result.streams.emplace_back();
            current = &result.streams.back();
            continue;
        }
        if (line == "[/STREAM]") {
            current = nullptr;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (current != nullptr) {
            const std::pair<const char*, int*> ints[] = {{"index", &current->index},
                                                         {"width", &current->width},
                                                         {"height", &current->height},
                                                         {"sample_rate", &current->sampleRate},
                                                         {"channels", &current->channels}};
            const std::pair<const char*, std::string*> texts[] = {
                {"codec_type", &current->codecType},
                {"codec_name", &current->codecName},
                {"profile", &current->profile}};
            for (const auto& [name, field] : ints)
                if (key == name)
                    *field = static_cast<int>(ToLong(value, key == "index" ? -1 : 0));
            for (const auto& [name, field] : texts)
                if (key == name)
                    *field = value;
            if (key == "nb_read_frames")
                current->frames = ToLong(value, -1);
            else if (key == "nb_read_packets")
                current->packets = ToLong(value, -1);
        }
    }
    result.ok = !result.streams.empty();
    if (!result.ok)
        result.error = "ffprobe found no streams: " + r.err;
    return result;
}

std::vector<double> PacketTimes(const std::filesystem::path& path, char stream) {
    std::vector<double> times;
    const std::string select = std::string(1, stream == 'a' ? 'a' : 'v') + ":0";
    ProcessResult r =
        RunProcess({"ffprobe", "-v", "error", "-select_streams", select, "-show_entries",
                    "packet=pts_time", "-of", "default=noprint_wrappers=1:nokey=1", path.string()},
                   kToolLimit);
    if (!r.Succeeded())
        return times;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line == "N/A")
            continue;
        char* end = nullptr;
        const double seconds = std::strtod(line.c_str(), &end);
        if (end != line.c_str() && *end == '\0')
            times.push_back(seconds * 1000.0);
    }
    return times;
}

std::string DecodeErrors(const std::filesystem::path& path) {
    // Frames keep their own times (a live stream's pictures are not on a fixed grid), so the
    // null output reports decoding faults only.
    ProcessResult r =
        RunProcess({"ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-i", path.string(),
                    "-fps_mode", "passthrough", "-enc_time_base", "-1", "-f", "null", "-"},
                   kToolLimit);
    if (!r.started || r.timedOut) {
        return "ffmpeg could not decode " + path.string() + (r.timedOut ? " (timed out)" : "") +
               ": " + r.err;
    }
    if (r.exitCode != 0 && r.err.empty())
        return "ffmpeg exited with status " + std::to_string(r.exitCode);
    return r.err;
}

}  // namespace rtmp::test
