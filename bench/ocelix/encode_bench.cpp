// Cost per picture of the BGR to I420 conversion at 1280x720 and 1920x1080 (x264's share of the
// video path is measured in video_path_bench.cpp).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "codecs/bgr_to_i420.h"

namespace ocelix {
namespace {

constexpr int kDistinctFrames = 16;

// Distinct pictures of gradients, stroke-like steps and noise (the conversion does not branch
// on the content).
std::vector<std::vector<uint8_t>> MakeFrames(int width, int height) {
    std::vector<std::vector<uint8_t>> frames;
    uint32_t noise = 0x9E3779B9u;
    for (int i = 0; i < kDistinctFrames; ++i) {
        auto& f = frames.emplace_back(static_cast<std::size_t>(width) * height * 3);
        for (std::size_t p = 0; p < f.size(); ++p) {
            noise = noise * 1664525u + 1013904223u;
            f[p] = static_cast<uint8_t>(p / 3 % static_cast<std::size_t>(width) + i * 8 +
                                        (p / 9 % 7 < 3 ? 100 : 0) + (noise >> 28));
        }
    }
    return frames;
}

void BM_BgrToI420(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const auto frames = MakeFrames(width, height);
    BgrToI420 converter(width, height, width * 3);
    std::size_t i = 0;
    for (auto _ : state) {
        converter.Convert(frames[i++ % frames.size()].data(), height);
        benchmark::DoNotOptimize(converter.Plane(0));
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_BgrToI420)->Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ocelix
