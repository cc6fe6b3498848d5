// Cost per picture of the BGR to I420 conversion at 1280x720 and 1920x1080 (x264's share of the
// video path is measured in video_path_bench.cpp).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "codecs/bgr_to_i420.h"

namespace ocelix {
namespace {

constexpr int kDistinctFrames = 16;

// A desktop-like picture: a soft gradient, rows of high-contrast "text" strokes, and a moving
// window of textured content; bottom row first.
std::vector<uint8_t> MakeFrame(int width, int height, int index) {
    std::vector<uint8_t> frame(static_cast<std::size_t>(width) * height * 3);
    uint32_t noise = 0x9E3779B9u + static_cast<uint32_t>(index);
    const int windowLeft = (index * 24) % (width / 2);
    const int windowTop = (index * 12) % (height / 2);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = frame.data() + static_cast<std::size_t>(height - 1 - y) * width * 3;
        for (int x = 0; x < width; ++x) {
            uint8_t b = static_cast<uint8_t>(128 + y * 64 / height);
            uint8_t g = static_cast<uint8_t>(160 + x * 64 / width);
            uint8_t r = 200;
            if ((y % 20) < 12 && ((x / 3 + y / 20 + index) % 7) < 3) {
                b = g = r = 20;  // text strokes
            }
            const bool inWindow = x >= windowLeft && x < windowLeft + width / 2 && y >= windowTop &&
                                  y < windowTop + height / 2;
            if (inWindow) {
                noise = noise * 1664525u + 1013904223u;
                const auto n = static_cast<uint8_t>(noise >> 28);
                b = static_cast<uint8_t>(((x + index * 4) ^ y) & 0xFF) / 2 + n;
                g = static_cast<uint8_t>((x * y + index * 16) >> 6) / 2 + n;
                r = static_cast<uint8_t>(x - y + index * 8) / 2 + n;
            }
            row[x * 3] = b;
            row[x * 3 + 1] = g;
            row[x * 3 + 2] = r;
        }
    }
    return frame;
}

std::vector<std::vector<uint8_t>> MakeFrames(int width, int height) {
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < kDistinctFrames; ++i) {
        frames.push_back(MakeFrame(width, height, i));
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
