// Frame resizing beside libswscale's bilinear scaler on the same packed BGR sizes, and one screen
// capture. Each resize reports "per_pixel": the time per destination pixel.
#include <benchmark/benchmark.h>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "capture/frame_image.h"
#include "capture/preview_picture.h"
#include "capture/screen_grabber.h"

// After the other headers: Xlib's macros (None, Bool, Status) would clash with their names.
#include <X11/Xlib.h>

namespace {

using capture::FrameImage;

std::vector<uint8_t> RandomPicture(int64_t width, int64_t height) {
    std::vector<uint8_t> bytes(static_cast<size_t>(width * height * 3));
    std::mt19937 rng(42);
    std::uniform_int_distribution<int> byte(0, 255);
    for (uint8_t& b : bytes) {
        b = static_cast<uint8_t>(byte(rng));
    }
    return bytes;
}

void ReportPerPixel(benchmark::State& state, int64_t dstWidth, int64_t dstHeight) {
    // Pixels per second, inverted: seconds per pixel (printed as ns).
    const double pixels =
        static_cast<double>(state.iterations()) * static_cast<double>(dstWidth * dstHeight);
    state.counters["per_pixel"] =
        benchmark::Counter(pixels, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Runs one of our resizers over the sizes in the benchmark's four arguments.
void RunOurs(benchmark::State& state, void (*scale)(const FrameImage&, const FrameImage&)) {
    const auto sw = static_cast<int32_t>(state.range(0));
    const auto sh = static_cast<int32_t>(state.range(1));
    const auto dw = static_cast<int32_t>(state.range(2));
    const auto dh = static_cast<int32_t>(state.range(3));
    // ScaleDownStepwise overwrites the source with its halvings, as in the feeder, where every
    // tick brings a new screen frame; the contents do not change the work done.
    std::vector<uint8_t> src = RandomPicture(sw, sh);
    std::vector<uint8_t> dst(static_cast<size_t>(dw) * static_cast<size_t>(dh) * 3U);
    for (auto _ : state) {
        scale(FrameImage(dst.data(), dw, dh), FrameImage(src.data(), sw, sh));
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    ReportPerPixel(state, dw, dh);
}

void BM_ScaleBilinear(benchmark::State& state) {
    RunOurs(state, capture::ScaleBilinear);
}

void BM_ScaleDownStepwise(benchmark::State& state) {
    RunOurs(state, capture::ScaleDownStepwise);
}

void BM_SwscaleBilinear(benchmark::State& state) {
    const auto sw = static_cast<int>(state.range(0));
    const auto sh = static_cast<int>(state.range(1));
    const auto dw = static_cast<int>(state.range(2));
    const auto dh = static_cast<int>(state.range(3));
    SwsContext* context = sws_getContext(sw, sh, AV_PIX_FMT_BGR24, dw, dh, AV_PIX_FMT_BGR24,
                                         SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (context == nullptr) {
        state.SkipWithError("sws_getContext failed");
        return;
    }
    std::vector<uint8_t> src = RandomPicture(sw, sh);
    std::vector<uint8_t> dst(static_cast<size_t>(dw) * static_cast<size_t>(dh) * 3U);
    const uint8_t* srcPlanes[1] = {src.data()};
    const int srcStrides[1] = {sw * 3};
    uint8_t* dstPlanes[1] = {dst.data()};
    const int dstStrides[1] = {dw * 3};
    for (auto _ : state) {
        sws_scale(context, srcPlanes, srcStrides, 0, sh, dstPlanes, dstStrides);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    sws_freeContext(context);
    ReportPerPixel(state, dw, dh);
}

void ScalingSizes(benchmark::internal::Benchmark* b) {
    b->ArgNames({"sw", "sh", "dw", "dh"});
    b->Args({1920, 1080, 480, 270});
    b->Args({640, 480, 359, 270});
    b->Args({1920, 1080, 160, 90});
    b->Args({1280, 720, 640, 360});
}

BENCHMARK(BM_ScaleBilinear)->Apply(ScalingSizes);
BENCHMARK(BM_ScaleDownStepwise)->Apply(ScalingSizes);
BENCHMARK(BM_SwscaleBilinear)->Apply(ScalingSizes);

// Keeps a copy of each picture, as the window's preview does before it hands it on.
class CopyingPreview final : public capture::PreviewSink {
  public:
    explicit CopyingPreview(capture::PreviewBox box) : box_(box) {}
    void OnPreviewFrame(const uint8_t* bgrBottomUp, int width, int height) override {
        copy_.assign(bgrBottomUp, bgrBottomUp + static_cast<size_t>(width) * height * 3);
    }
    capture::PreviewBox Box() const override { return box_; }

  private:
    capture::PreviewBox box_;
    std::vector<uint8_t> copy_;
};

// The preview of the outgoing picture: a frame of the broadcast's size (arguments 0 and 1) made
// small for the window's preview box (arguments 2 and 3: the preview area's inside at 1.5 pixels
// a dialog unit), as the feeder does at most every fifth tick. "core_percent": the share of one
// core that PreviewPicture::kLeastRate previews a second cost.
void BM_PreviewPicture(benchmark::State& state) {
    const auto width = static_cast<int32_t>(state.range(0));
    const auto height = static_cast<int32_t>(state.range(1));
    std::vector<uint8_t> frame = RandomPicture(width, height);
    CopyingPreview preview({static_cast<int>(state.range(2)), static_cast<int>(state.range(3))});
    capture::PreviewPicture picture;
    for (auto _ : state) {
        picture.Send(FrameImage(frame.data(), width, height), preview);
        benchmark::ClobberMemory();
    }
    // CPU seconds per preview, times previews a second, in percent.
    state.counters["core_percent"] = benchmark::Counter(
        static_cast<double>(state.iterations()) / (capture::PreviewPicture::kLeastRate * 100.0),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PreviewPicture)
    ->ArgNames({"w", "h", "box_w", "box_h"})
    ->Args({1920, 1080, 228, 174})
    ->Args({1280, 720, 228, 174})
    ->Unit(benchmark::kMicrosecond);

// Fills the whole root window of $DISPLAY with a colour that differs on each call.
class ScreenPainter {
  public:
    ScreenPainter() : display_(XOpenDisplay(nullptr)) {}
    ~ScreenPainter() {
        if (display_ != nullptr) {
            XCloseDisplay(display_);
        }
    }
    ScreenPainter(const ScreenPainter&) = delete;
    ScreenPainter& operator=(const ScreenPainter&) = delete;
    bool Ok() const { return display_ != nullptr; }
    void Change() {
        const Window root = DefaultRootWindow(display_);
        GC gc = XCreateGC(display_, root, 0, nullptr);
        XSetSubwindowMode(display_, gc, IncludeInferiors);
        XSetForeground(display_, gc, (++count_ * 0x010203UL) & 0xFFFFFFUL);
        XFillRectangle(display_, root, gc, 0, 0, 1 << 14, 1 << 14);
        XFreeGC(display_, gc);
        XSync(display_, False);
    }

  private:
    Display* display_;
    unsigned long count_ = 0;
};

// Full-HD captures on $DISPLAY (run it under a 1920 x 1080 screen, for example Xvfb). Argument 0:
// the screen does not change between grabs (the grab asks what changed and does nothing else);
// 1: the whole screen changes before each grab (untimed), which is read and converted whole.
void GrabScreen(benchmark::State& state, bool sharedMemory) {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        state.SkipWithError("DISPLAY is not set");
        return;
    }
    const bool changing = state.range(0) != 0;
    const int width = 1920;
    const int height = 1080;
    std::vector<uint8_t> frame(static_cast<size_t>(width) * height * 3U);
    capture::ScreenGrabber::Options options;
    options.sharedMemory = sharedMemory;
    capture::ScreenGrabber grabber(options);
    ScreenPainter painter;
    if (!painter.Ok() || !grabber.Grab(frame.data(), width, height)) {
        state.SkipWithError("the display could not be read");
        return;
    }
    for (auto _ : state) {
        if (changing) {
            state.PauseTiming();
            painter.Change();
            state.ResumeTiming();
        }
        const bool grabbed = grabber.Grab(frame.data(), width, height);
        if (grabbed != changing) {
            state.SkipWithError("the grab did not see what happened on the screen");
            break;
        }
        benchmark::DoNotOptimize(frame.data());
        benchmark::ClobberMemory();
    }
    state.counters["shared_memory"] = grabber.UsedSharedMemory() ? 1 : 0;
    state.counters["rows_read_per_grab"] =
        static_cast<double>(grabber.Done().rowsRead) / static_cast<double>(state.iterations() + 1);
}

void BM_GrabScreen(benchmark::State& state) {
    GrabScreen(state, true);
}
BENCHMARK(BM_GrabScreen)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same captures through the plain copy, without shared memory.
void BM_GrabScreenPlain(benchmark::State& state) {
    GrabScreen(state, false);
}
BENCHMARK(BM_GrabScreenPlain)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
