// rtmp_play: plays a stream through the library's exported functions and writes the received
// video units (Annex B) and audio frames (ADTS) to files.
//
//   rtmp_play [--seconds N] [--video OUT.h264] [--audio OUT.aac] [--log] [--ca-file PEM] URL
#include <stream/rtmp.h>

#include "rtmp_handle.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void OnSignal(int) {
    g_interrupted.store(true);
}

struct Options {
    double seconds = 0;  // 0: until the connection ends or the user interrupts
    std::string video;
    std::string audio;
    bool log = false;
    std::string caFile;  // --ca-file: authorities trusted for rtmps:// besides the system's
    std::string url;
};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// What the receive thread hands over; the main thread only reads the counters.
struct Sink {
    File file;
    std::atomic<uint64_t> units{0};
    std::atomic<uint64_t> bytes{0};
    std::atomic<bool> writeFailed{false};
};

struct Sinks {
    Sink video;
    Sink audio;
};

void Take(Sink& sink, const uint8_t* data, int length) {
    if (data == nullptr || length <= 0) {
        return;
    }
    sink.units.fetch_add(1);
    sink.bytes.fetch_add(static_cast<uint64_t>(length));
    if (sink.file && std::fwrite(data, 1, static_cast<std::size_t>(length), sink.file.get()) !=
                         static_cast<std::size_t>(length)) {
        sink.writeFailed.store(true);
    }
}

int OnVideo(void* user, const uint8_t* data, int length, int /*timestamp*/) {
    Take(static_cast<Sinks*>(user)->video, data, length);
    return 1;
}

int OnAudio(void* user, const uint8_t* data, int length, int /*timestamp*/) {
    Take(static_cast<Sinks*>(user)->audio, data, length);
    return 1;
}

void Usage() {
    std::fprintf(
        stderr,
        "usage: rtmp_play [--seconds N] [--video OUT.h264] [--audio OUT.aac] [--log] URL\n");
}

std::optional<std::string> ParseArgs(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--log") {
            o->log = true;
        } else if (arg == "--ca-file" && i + 1 < argc) {
            o->caFile = argv[++i];
        } else if (arg == "--seconds" || arg == "--video" || arg == "--audio") {
            if (i + 1 >= argc) {
                return std::string(arg) + " needs a value";
            }
            const std::string v = argv[++i];
            if (arg == "--seconds") {
                std::size_t used = 0;
                try {
                    o->seconds = std::stod(v, &used);
                } catch (const std::exception&) {
                    used = 0;
                }
                if (used != v.size() || !(o->seconds > 0) || o->seconds > 1e6) {
                    return "--seconds must be a positive number";
                }
            } else {
                (arg == "--video" ? o->video : o->audio) = v;
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
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (auto err = ParseArgs(argc, argv, &opt)) {
        std::fprintf(stderr, "rtmp_play: %s\n", err->c_str());
        Usage();
        return 2;
    }
    if (!rtmp::tools::PlausibleUrl(opt.url, true)) {
        return rtmp::tools::Fail(
            "rtmp_play", "invalid URL '" + opt.url + "' (expected rtmp://host[:port]/app/stream)");
    }
    Sinks sinks;
    if (!opt.video.empty()) {
        sinks.video.file.reset(std::fopen(opt.video.c_str(), "wb"));
        if (!sinks.video.file) {
            return rtmp::tools::Fail("rtmp_play", "cannot write " + opt.video);
        }
    }
    if (!opt.audio.empty()) {
        sinks.audio.file.reset(std::fopen(opt.audio.c_str(), "wb"));
        if (!sinks.audio.file) {
            return rtmp::tools::Fail("rtmp_play", "cannot write " + opt.audio);
        }
    }
    if (opt.log) {
        RTMP_SetLog(nullptr, 1, 0);
    }

    bool lost = false;
    {
        // The handle goes first: disconnecting waits for the receive thread, so the callbacks
        // are done with the files before they are closed.
        rtmp::tools::Handle handle(RTMP_Create());
        if (!handle) {
            return rtmp::tools::Fail("rtmp_play", "cannot create a client handle");
        }
        if (!rtmp::tools::ConnectOrSay("rtmp_play", handle.get(), opt.url, opt.caFile)) {
            return 1;
        }
        RTMP_SetStreamOut(handle.get(), OnVideo, OnAudio, &sinks);
        if (RTMP_Play(handle.get()) == 0) {
            return rtmp::tools::Fail("rtmp_play", "the server refused to play " + opt.url);
        }
        std::signal(SIGINT, OnSignal);
        std::signal(SIGTERM, OnSignal);

        const Clock::time_point start = Clock::now();
        Clock::time_point nextReport = start + std::chrono::seconds(1);
        while (!g_interrupted.load()) {
            const Clock::time_point now = Clock::now();
            const double elapsed = std::chrono::duration<double>(now - start).count();
            if (opt.seconds > 0 && elapsed >= opt.seconds) {
                break;
            }
            if (RTMP_GetState(handle.get()) == 0) {
                lost = true;
                break;
            }
            if (now >= nextReport) {
                std::printf("%6.1f s  video %llu  audio %llu  %llu bytes\n", elapsed,
                            static_cast<unsigned long long>(sinks.video.units.load()),
                            static_cast<unsigned long long>(sinks.audio.units.load()),
                            static_cast<unsigned long long>(sinks.video.bytes.load() +
                                                            sinks.audio.bytes.load()));
                std::fflush(stdout);
                nextReport += std::chrono::seconds(1);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    std::printf("received %llu video units (%llu bytes), %llu audio frames (%llu bytes)%s\n",
                static_cast<unsigned long long>(sinks.video.units.load()),
                static_cast<unsigned long long>(sinks.video.bytes.load()),
                static_cast<unsigned long long>(sinks.audio.units.load()),
                static_cast<unsigned long long>(sinks.audio.bytes.load()),
                lost ? "; the connection ended" : "");
    if (sinks.video.writeFailed.load() || sinks.audio.writeFailed.load()) {
        return rtmp::tools::Fail("rtmp_play", "writing the received data failed");
    }
    return 0;
}
