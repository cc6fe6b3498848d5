// rtmp_publish: sends an H.264 Annex B file and/or an ADTS AAC file to an RTMP server in real
// time through the library's exported functions.
//
//   rtmp_publish [--video FILE.h264] [--audio FILE.aac] [--fps N|N/D] [--width W --height H]
//                [--mode live|record|append] [--log] [--ca-file PEM] URL
#include <stream/rtmp.h>

#include "rtmp_handle.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "media_files.h"

namespace {

using Clock = std::chrono::steady_clock;
using rtmp::media::AccessUnit;
using rtmp::media::AdtsFrame;

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void OnSignal(int) {
    g_interrupted.store(true);
}

struct Options {
    std::string video;
    std::string audio;
    int64_t fpsNum = 25;
    int64_t fpsDen = 1;
    int width = 0;
    int height = 0;
    std::string mode = "live";
    bool log = false;
    std::string caFile;  // --ca-file: authorities trusted for rtmps:// besides the system's
    std::string url;
};

void Usage() {
    std::fprintf(stderr,
                 "usage: rtmp_publish [--video FILE.h264] [--audio FILE.aac] [--fps N|N/D]\n"
                 "                    [--width W] [--height H] [--mode live|record|append] [--log]"
                 " URL\n");
}

bool ParsePositive(std::string_view text, int64_t* out) {
    if (text.empty() || text.size() > 9) {
        return false;
    }
    int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + (c - '0');
    }
    if (v <= 0) {
        return false;
    }
    *out = v;
    return true;
}

// Returns an error text, or nothing when the options are complete.
std::optional<std::string> ParseArgs(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--log") {
            o->log = true;
        } else if (arg == "--ca-file" && i + 1 < argc) {
            o->caFile = argv[++i];
        } else if (arg == "--video" || arg == "--audio" || arg == "--fps" || arg == "--mode" ||
                   arg == "--width" || arg == "--height") {
            if (i + 1 >= argc) {
                return std::string(arg) + " needs a value";
            }
            const char* v = argv[++i];
            const std::string_view text = v;
            int64_t n = 0;
            if (arg == "--video") {
                o->video = v;
            } else if (arg == "--audio") {
                o->audio = v;
            } else if (arg == "--mode") {
                if (text != "live" && text != "record" && text != "append") {
                    return "--mode must be live, record or append";
                }
                o->mode = v;
            } else if (arg == "--fps") {
                const std::size_t slash = text.find('/');
                int64_t den = 1;
                if (!ParsePositive(text.substr(0, slash), &n) ||
                    (slash != std::string_view::npos &&
                     !ParsePositive(text.substr(slash + 1), &den))) {
                    return "--fps must be a positive number or N/D";
                }
                o->fpsNum = n;
                o->fpsDen = den;
            } else {
                if (!ParsePositive(text, &n) || n > 16384) {
                    return std::string(arg) + " must be a positive number";
                }
                (arg == "--width" ? o->width : o->height) = static_cast<int>(n);
            }
        } else if (!arg.empty() && arg[0] == '-') {
            return "unknown option " + std::string(arg);
        } else if (o->url.empty()) {
            o->url = arg;
        } else {
            return "more than one URL given";
        }
    }
    if (o->url.empty()) {
        return "no URL given";
    }
    if (o->video.empty() && o->audio.empty()) {
        return "nothing to send: give --video and/or --audio";
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (auto err = ParseArgs(argc, argv, &opt)) {
        std::fprintf(stderr, "rtmp_publish: %s\n", err->c_str());
        Usage();
        return 2;
    }
    if (!rtmp::tools::PlausibleUrl(opt.url, false)) {
        return rtmp::tools::Fail("rtmp_publish", "invalid URL '" + opt.url +
                                                     "' (expected rtmp://host[:port]/app/stream)");
    }

    std::vector<AccessUnit> video;
    if (!opt.video.empty()) {
        auto bytes = rtmp::media::ReadFileBytes(opt.video);
        if (!bytes) {
            return rtmp::tools::Fail("rtmp_publish", "cannot read " + opt.video);
        }
        for (AccessUnit& au : rtmp::media::SplitAccessUnits(*bytes)) {
            if (au.hasPicture) {
                video.push_back(std::move(au));
            }
        }
        if (video.empty()) {
            return rtmp::tools::Fail("rtmp_publish", opt.video + " holds no H.264 pictures");
        }
    }
    std::vector<uint8_t> audioBytes;
    std::vector<AdtsFrame> audio;
    if (!opt.audio.empty()) {
        auto bytes = rtmp::media::ReadFileBytes(opt.audio);
        if (!bytes) {
            return rtmp::tools::Fail("rtmp_publish", "cannot read " + opt.audio);
        }
        audioBytes = std::move(*bytes);
        rtmp::media::AdtsSplit split = rtmp::media::SplitAdtsFrames(audioBytes);
        if (!split.error.empty()) {
            std::fprintf(stderr, "rtmp_publish: %s: %s; sending the %zu frames before it\n",
                         opt.audio.c_str(), split.error.c_str(), split.frames.size());
        }
        audio = std::move(split.frames);
        if (audio.empty()) {
            return rtmp::tools::Fail("rtmp_publish", opt.audio + " holds no ADTS frames");
        }
    }

    if (opt.log) {
        RTMP_SetLog(nullptr, 1, 0);
    }
    rtmp::tools::Handle handle(RTMP_Create());
    if (!handle) {
        return rtmp::tools::Fail("rtmp_publish", "cannot create a client handle");
    }
    if (!rtmp::tools::ConnectOrSay("rtmp_publish", handle.get(), opt.url, opt.caFile)) {
        return 1;
    }
    if (RTMP_Publish(handle.get(), opt.mode.c_str()) == 0) {
        return rtmp::tools::Fail("rtmp_publish", "the server refused to publish " + opt.url);
    }

    void* meta = RTMP_CreateMetaData();
    if (meta != nullptr) {
        if (opt.width > 0 && opt.height > 0) {
            RTMP_AddMetaDataDouble(meta, "width", opt.width);
            RTMP_AddMetaDataDouble(meta, "height", opt.height);
        }
        if (!video.empty()) {
            RTMP_AddMetaDataDouble(meta, "videocodecid", 7);
            RTMP_AddMetaDataDouble(
                meta, "framerate",
                static_cast<double>(opt.fpsNum) / static_cast<double>(opt.fpsDen));
        }
        if (!audio.empty()) {
            RTMP_AddMetaDataDouble(meta, "audiocodecid", 10);
            RTMP_AddMetaDataDouble(meta, "audiosamplerate", audio.front().sampleRate);
            RTMP_AddMetaDataDouble(meta, "audiochannels", audio.front().channelConfig);
        }
        RTMP_AddMetaDataString(meta, "encoder", "rtmp_publish");
        RTMP_ApplyMetaData(handle.get(), meta);
    }

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    // Media times are kept exactly: video unit k is due at k * fpsDen / fpsNum seconds, audio
    // frame j at (samples before it) / sampleRate seconds. Each message carries the whole
    // milliseconds elapsed since the previous one, taken from these exact times, so the deltas
    // add up to the exact running time without drift.
    std::size_t vi = 0;
    std::size_t ai = 0;
    int64_t audioSamples = 0;  // samples before audio frame ai
    int64_t lastMs = 0;
    uint64_t sentBytes = 0;
    uint64_t bytesThisSecond = 0;
    const Clock::time_point start = Clock::now();
    Clock::time_point nextReport = start + std::chrono::seconds(1);

    auto videoUs = [&](std::size_t k) {
        return static_cast<int64_t>(k) * opt.fpsDen * 1000000 / opt.fpsNum;
    };
    const int rate = audio.empty() ? 1 : audio.front().sampleRate;
    auto audioUs = [rate](int64_t samples) { return samples * 1000000 / rate; };
    auto videoMs = [&](std::size_t k) {
        return static_cast<int64_t>(k) * opt.fpsDen * 1000 / opt.fpsNum;
    };
    auto audioMs = [rate](int64_t samples) { return samples * 1000 / rate; };

    while ((vi < video.size() || ai < audio.size()) && !g_interrupted.load()) {
        bool sendVideo;
        if (vi >= video.size()) {
            sendVideo = false;
        } else if (ai >= audio.size()) {
            sendVideo = true;
        } else {
            sendVideo = videoUs(vi) <= audioUs(audioSamples);
        }
        const int64_t dueUs = sendVideo ? videoUs(vi) : audioUs(audioSamples);
        const int64_t dueMs = sendVideo ? videoMs(vi) : audioMs(audioSamples);
        std::this_thread::sleep_until(start + std::chrono::microseconds(dueUs));

        if (RTMP_GetState(handle.get()) == 0) {
            return rtmp::tools::Fail("rtmp_publish", "connection lost");
        }
        const uint8_t* data;
        std::size_t size;
        int type;
        if (sendVideo) {
            data = video[vi].data.data();
            size = video[vi].data.size();
            type = RTMP_TYPE_VIDEO;
        } else {
            data = audioBytes.data() + audio[ai].offset;
            size = audio[ai].size;
            type = RTMP_TYPE_AUDIO;
        }
        const int delta = static_cast<int>(dueMs - lastMs);
        lastMs = dueMs;
        if (RTMP_SendStream(handle.get(), data, static_cast<int>(size), delta, type) == 0) {
            if (RTMP_GetState(handle.get()) == 0) {
                return rtmp::tools::Fail("rtmp_publish", "connection lost");
            }
            return rtmp::tools::Fail(
                "rtmp_publish",
                std::string("sending a ") + (sendVideo ? "video unit" : "audio frame") + " failed");
        }
        sentBytes += size;
        bytesThisSecond += size;
        if (sendVideo) {
            ++vi;
        } else {
            audioSamples += 1024LL * audio[ai].rawBlocks;
            ++ai;
        }

        const Clock::time_point now = Clock::now();
        if (now >= nextReport) {
            const double seconds = std::chrono::duration<double>(now - start).count();
            std::printf("%6.1f s  video %zu/%zu  audio %zu/%zu  %.1f kbit/s\n", seconds, vi,
                        video.size(), ai, audio.size(),
                        static_cast<double>(bytesThisSecond) * 8.0 / 1000.0);
            std::fflush(stdout);
            bytesThisSecond = 0;
            nextReport += std::chrono::seconds(1);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("sent %zu video units, %zu audio frames, %llu bytes in %.1f s%s\n", vi, ai,
                static_cast<unsigned long long>(sentBytes), seconds,
                g_interrupted.load() ? " (interrupted)" : "");
    return 0;
}
