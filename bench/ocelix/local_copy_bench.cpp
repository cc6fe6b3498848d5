// What the local copy adds per frame of a 1920x1080 broadcast at 25 fps, 2000 kbit/s with
// stereo AAC: the copy into its queue and the MP4 muxing with the writes into a file, set
// against the CPU the encoder spends on the same frame (all its threads: process CPU time).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "backends.h"
#include "codecs/mp4_writer.h"
#include "copy_file.h"
#include "send_queue.h"

namespace ocelix {
namespace {

double CpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

std::vector<uint8_t> Frame(int w, int h, int n) {
    std::vector<uint8_t> f(static_cast<size_t>(w) * h * 3);
    for (size_t i = 0; i < f.size(); ++i)
        f[i] = static_cast<uint8_t>(i / 3 % static_cast<size_t>(w) + static_cast<size_t>(n) * 3 +
                                    (i / 3 / static_cast<size_t>(w)) * (i % 3));
    return f;
}

void BM_LocalCopyPerFrame(benchmark::State& state) {
    constexpr int kW = 1920, kH = 1080, kFps = 25, kFrames = 50;
    EncoderConfig c{};
    c.width = kW;
    c.height = kH;
    c.inputFormat = OCELIX_FORMAT_BGR24_BOTTOM_UP;
    c.frameRate = kFps;
    c.interval = 2 * kFps;
    c.bitrate = 2000;
    auto video = MakeH264Encoder();
    auto audio = MakeAacEncoder();
    if (!video->Open(c) || !audio->Open(48000, 16, 2)) {
        state.SkipWithError("encoder open failed");
        return;
    }
    // Two seconds of pictures and their sound, with the encoder's CPU per picture.
    std::vector<std::vector<uint8_t>> pictures, sounds;
    double encodeCpuMs = 0;
    for (int n = 0; n < kFrames + 2; ++n) {
        const auto frame = Frame(kW, kH, n);
        const uint8_t* out = nullptr;
        int length = 0;
        const double t0 = CpuMs();
        video->Encode(frame.data(), &out, &length);
        encodeCpuMs += CpuMs() - t0;
        if (length > 0)
            pictures.emplace_back(out, out + length);
    }
    for (int n = 0; n < 2 * 48000 / 1024 + 4; ++n) {
        const uint8_t* out = nullptr;
        int length = 0;
        audio->Encode(&out, &length);
        if (length > 0)
            sounds.emplace_back(out, out + length);
    }
    video->Close();
    audio->Close();
    int error = 0;
    const std::string path = "/tmp/ocelix_copy_bench.mp4";
    auto file = CreateCopyFile(path, &error);
    if (!file || pictures.empty()) {
        state.SkipWithError("no file");
        return;
    }
    Mp4Writer writer(Mp4Tracks{true, kW, kH, kFps, true, 48000, 2},
                     [&](std::span<const uint8_t> b) { return file->Write(b, &error); });
    int64_t frame = 0, sound = 0;
    std::vector<uint8_t> queued;
    const double cpu0 = CpuMs();
    for (auto _ : state) {
        // One picture, and the sound frames of its period, each copied as the queue copies it.
        const int64_t stamp = frame * 1000 / kFps;
        const auto& pic = pictures[static_cast<size_t>(frame) % pictures.size()];
        queued.assign(pic.begin(), pic.end());
        writer.AddVideo(stamp, frame % pictures.size() == 0, queued);
        for (; sound * 1024 * 1000 / 48000 < stamp + 1000 / kFps; ++sound) {
            const auto& s = sounds[static_cast<size_t>(sound) % sounds.size()];
            queued.assign(s.begin(), s.end());
            writer.AddAudio(sound * 1024 * 1000 / 48000, queued);
        }
        ++frame;
    }
    const double copyCpuMs = (CpuMs() - cpu0) / static_cast<double>(state.iterations());
    writer.Finish();
    file->Remove();
    state.counters["copy_cpu_ms"] = copyCpuMs;
    state.counters["encode_cpu_ms"] = encodeCpuMs / (kFrames + 2);
    state.counters["copy_share_pct"] = 100 * copyCpuMs / (encodeCpuMs / (kFrames + 2));
}
BENCHMARK(BM_LocalCopyPerFrame)
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(3000);  // two minutes of media, about 30 MB

}  // namespace
}  // namespace ocelix
