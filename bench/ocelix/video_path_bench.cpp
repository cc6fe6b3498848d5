// Per frame at 1280x720 and 1920x1080: the time spent in x264, and the time spent in everything
// else on the video path (the frame copy, the colour conversion, the copy into the send queue,
// the RTMP packaging and the send into a loopback peer that discards the bytes).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "codecs/bgr_to_i420.h"
#include "codecs/h264_encoder.h"
#include "stream/rtmp.h"
#include "support/discarding_server.h"

namespace ocelix {
namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::vector<uint8_t> MovingFrame(int w, int h, int n) {
    std::vector<uint8_t> f(static_cast<size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &f[(static_cast<size_t>(y) * w + x) * 3];
            p[0] = static_cast<uint8_t>(x + n * 4);
            p[1] = static_cast<uint8_t>(y * 2 + ((x / 16 + n) % 5) * 20);
            p[2] = static_cast<uint8_t>((x ^ y) + n);
        }
    }
    return f;
}

void BM_VideoPath(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0));
    const int h = static_cast<int>(state.range(1));
    H264EncoderParam p{};
    p.width = w;
    p.height = h;
    p.inputFormat = kInputFormatBgr24BottomUp;
    p.frameRate = 25;
    p.interval = 50;
    p.rateControl = kRateControlAverageBitrate;
    p.bitrate = 2000;
    if (H264EncoderOpen(&p) == 0) {
        state.SkipWithError("encoder open failed");
        return;
    }
    BgrToI420 converter(w, h, w * 3);
    bench::DiscardingServer server;
    void* rtmp = RTMP_Create();
    if (RTMP_Connect(rtmp, server.Url().c_str()) != 1) {
        state.SkipWithError("connect failed");
        RTMP_Release(rtmp);
        H264EncoderClose(&p);
        return;
    }
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < 8; ++i)
        frames.push_back(MovingFrame(w, h, i));
    std::vector<uint8_t> latest(frames[0].size());
    std::vector<uint8_t> packet;
    double x264Ms = 0, restMs = 0;
    int n = 0;
    for (auto _ : state) {
        const auto& source = frames[static_cast<size_t>(n++ % 8)];
        const auto t0 = Clock::now();
        std::memcpy(latest.data(), source.data(), latest.size());  // PutVideoData
        converter.Convert(latest.data(), h);                       // conversion alone
        const auto t1 = Clock::now();
        H264EncoderEncodeFrame(&p, latest.data());  // conversion + x264
        const auto t2 = Clock::now();
        packet.assign(p.output, p.output + p.outputLength);  // into the send queue
        RTMP_SendStream(rtmp, packet.data(), p.outputLength, 40, RTMP_TYPE_VIDEO);
        const auto t3 = Clock::now();
        // t0..t1: the copy and one conversion; t1..t2: Encode, which converts again before
        // x264 runs, so that second conversion is taken off below.
        x264Ms += Ms(t2 - t1);
        restMs += Ms(t1 - t0) + Ms(t3 - t2);
    }
    // Encode's own conversion is the same work as the separate one measured above.
    double conversionOnly = 0;
    {
        const auto t0 = Clock::now();
        for (int i = 0; i < 8; ++i)
            converter.Convert(frames[static_cast<size_t>(i)].data(), h);
        conversionOnly = Ms(Clock::now() - t0) / 8;
    }
    const double iterations = static_cast<double>(state.iterations());
    state.counters["x264_ms"] = x264Ms / iterations - conversionOnly;
    state.counters["rest_ms"] = restMs / iterations;
    RTMP_Release(rtmp);
    H264EncoderClose(&p);
}
BENCHMARK(BM_VideoPath)
    ->Args({1280, 720})
    ->Args({1920, 1080})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

}  // namespace
}  // namespace ocelix
