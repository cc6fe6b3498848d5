#include "capture/capture_video.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "capture/camera_format.h"
#include "capture/video_device_list.h"
#include "video_test_doubles.h"

namespace capture {
namespace {

using namespace std::chrono_literals;
using namespace test;

constexpr uint32_t kNv12 = FourCc('N', 'V', '1', '2');
constexpr uint32_t kH264 = FourCc('H', '2', '6', '4');

// A format's pixel format and size.
using Shape = std::tuple<uint32_t, uint32_t, uint32_t>;
Shape ShapeOf(const VideoFormat& f) {
    return {f.pixelFormat, f.width, f.height};
}

// Each start with the one message it shows (none when it works or the nodes cannot be listed),
// how often the device was opened (each open closed again unless the start worked) and the
// formats set in order: the first of RGB24, YUYV and MJPEG in the device's order, else the last
// format listed, with the size and rate, then RGB24 frames at that size; a refused size puts the
// device's own format back. The cameras are the capture nodes in order, named by card, and the
// setting's index counts the same way.
TEST(CaptureVideoTest, EachStartShowsItsOwnTextOrAsksForTheChosenFormat) {
    constexpr Shape kYuyv{kPixelYuyv, 640, 480};
    constexpr Shape kRgb{kPixelRgb24, 640, 480};
    constexpr Shape kOwn{kPixelYuyv, 320, 240};  // the device's format before the start
    struct Case {
        void (*setUp)(FakeVideoState&);  // none: a working camera with the formats
        int index;
        const char* text;
        size_t opens;
        std::vector<Shape> set = {};
        std::vector<uint32_t> formats = {kPixelYuyv};
    };
    using V = CCaptureVideo;
    using S = FakeVideoState;
    const Case cases[] = {
        {nullptr, 0, nullptr, 2, {kYuyv, kRgb}, {kNv12, kPixelYuyv, kPixelMjpeg}},
        {nullptr, 0, nullptr, 2, {{kPixelMjpeg, 640, 480}, kRgb}, {kPixelMjpeg, kPixelRgb24}},
        {nullptr, 0, nullptr, 2, {kRgb, kRgb}, {kH264, kPixelRgb24}},
        {nullptr, 0, nullptr, 2, {{kNv12, 640, 480}, kRgb}, {kH264, kNv12}},
        {nullptr, 0, V::kSizeFailedText, 2, {}, {}},
        {[](S& s) { s.refuseCaptureSize = true; }, 0, V::kSizeFailedText, 2, {kYuyv, kOwn}},
        {[](S& s) { s.refuseRgb = true; }, 0, V::kMediaTypeFailedText, 2, {kYuyv, kRgb}},
        {[](S& s) { s.failBuffers = true; }, 0, V::kBuildFailedText, 2, {kYuyv, kRgb}},
        {[](S& s) { s.failStreamOn = true; }, 0, V::kRunFailedText, 2, {kYuyv, kRgb}},
        {[](S& s) { s.devices["/dev/video0"].caps.canStream = false; }, 0, V::kInterfacesFailedText,
         2},
        // Busy after the listing opened it.
        {[](S& s) { s.devices["/dev/video0"].opens = 1; }, 0, V::kInterfacesFailedText, 1},
        // An index beyond the last camera: only the listing opened it.
        {nullptr, 1, V::kSizeFailedText, 1},
        {[](S& s) { s.nodes.reset(); }, 0, nullptr, 0},
        // A node that cannot capture is no camera: the second camera is the third node.
        {[](S& s) {
             s.AddCamera("/dev/video1", "Cam metadata", {}, false);
             s.AddCamera("/dev/video2", "Second Cam", {kPixelMjpeg});
         },
         1,
         nullptr,
         4,
         {{kPixelMjpeg, 640, 480}, kRgb}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "case " << &c - cases);
        auto state = std::make_shared<FakeVideoState>();
        state->AddCamera("/dev/video0", "Cam", c.formats);
        if (c.setUp != nullptr)
            c.setUp(*state);
        RecordingMessageSink messages;
        RecordingFrameSink sink;
        CCaptureVideo video(std::make_unique<FakeVideoLayer>(state), &messages);
        const bool works = c.text == nullptr && !c.set.empty();
        EXPECT_EQ(video.Start(c.index, &sink, 640, 480, 25), works ? 0 : 1);
        EXPECT_EQ(messages.Texts(), c.text != nullptr ? std::vector<std::string>{c.text}
                                                      : std::vector<std::string>{});
        EXPECT_EQ(std::tuple(state->opened.size(), state->closes + (works ? 1u : 0u)),
                  std::tuple(c.opens, c.opens));
        std::vector<Shape> set(state->setFormats.size());
        std::ranges::transform(state->setFormats, set.begin(), ShapeOf);
        EXPECT_EQ(set, c.set);
        EXPECT_EQ(state->streamOns, works || c.text == V::kRunFailedText ? 1 : 0);
        if (works) {
            EXPECT_EQ(std::tuple(state->intervals, state->bufferCount),
                      std::tuple(decltype(state->intervals){{1u, 25u}}, V::kBufferCount));
        }
        if (state->refuseCaptureSize) {  // a refused start may be tried again
            state->refuseCaptureSize = false;
            EXPECT_EQ(video.Start(0, &sink, 640, 480, 25), 0);
        }
        if (state->devices.size() == 3) {
            FakeVideoLayer layer(state);
            const auto cams = ListCameras(layer).value_or(std::vector<VideoDeviceEntry>(2));
            ASSERT_EQ(cams.size(), 2u);
            EXPECT_EQ(std::tuple(cams[0].node, cams[0].name, cams[1].node, cams[1].name),
                      std::tuple("/dev/video0", "Cam", "/dev/video2", "Second Cam"));
        }
    }

    // The libv4l2 layer on this machine: a node that is no video device is not opened, and without
    // video nodes there are no cameras to list.
    const std::unique_ptr<VideoDeviceLayer> layer = MakeSystemVideoDeviceLayer();
    EXPECT_FALSE(layer->Open("/dev/null"));
    EXPECT_FALSE(layer->Open("/dev/no_such_video_node"));
    VideoDeviceCaps caps;
    VideoFormat format;
    EXPECT_EQ(std::tuple(layer->QueryCaps(caps), layer->EnumerateFormats().size(),
                         layer->GetFormat(format), layer->StreamOn()),
              std::tuple(false, 0u, false, false));
    const auto nodes = layer->ListNodes();
    ASSERT_TRUE(nodes.has_value());
    EXPECT_TRUE(!nodes->empty() || EnumerateVideoDevices().empty());
}

// A device that settles on another size, with padded RGB rows, still gives frames of the asked
// size with rows of exactly three bytes a pixel, bottom-up. Frames reach the preview always and
// the sink once enabled; a short frame is skipped; times count from the first frame converted.
// Stop joins the streaming thread before the device closes, once; a started or stopped camera
// refuses another start.
TEST(CaptureVideoTest, FramesOfTheAskedSizeReachThePreviewAndOnceEnabledTheSink) {
    auto state = std::make_shared<FakeVideoState>();
    RecordingMessageSink messages;
    RecordingFrameSink sink;
    CCaptureVideo video(std::make_unique<FakeVideoLayer>(state), &messages);
    state->AddCamera("/dev/video0", "Cam", {kPixelYuyv});
    state->settle = {2, 2};
    state->rgbPadding = 2;
    ASSERT_EQ(video.Start(0, &sink, 4, 2, 25), 0);
    EXPECT_EQ(video.Start(0, &sink, 4, 2, 25), 1);
    EXPECT_EQ(std::tuple(state->streamOns, ShapeOf(video.DeviceFormat())),
              std::tuple(1, Shape{kPixelRgb24, 2u, 2u}));
    // Top row (1, 2, 3), (4, 5, 6), bottom row (7, 8, 9), (10, 11, 12), each with two pad bytes.
    const std::vector<uint8_t> rgb = {1, 2, 3, 4,  5,  6,  0xEE, 0xEE,
                                      7, 8, 9, 10, 11, 12, 0xEE, 0xEE};
    const std::vector<uint8_t> expected = {9, 8, 7, 9, 8, 7, 12, 11, 10, 12, 11, 10,
                                           3, 2, 1, 3, 2, 1, 6,  5,  4,  6,  5,  4};
    // Short of the 14 bytes two rows need (the last one needs no padding).
    state->PushFrame(std::vector<uint8_t>(13, 1), 99.0);
    state->PushFrame(rgb, 100.0);
    // The preview comes after the frame sink's turn, so once it is seen the frame is settled.
    ASSERT_TRUE(sink.WaitForPreviews(1, 2s));
    video.SetSink(&sink);
    video.EnableFrames(true);
    state->PushFrame(rgb, 100.25);
    ASSERT_TRUE(sink.WaitForPreviews(2, 2s));
    video.EnableFrames(false);
    state->PushFrame(rgb, 100.5);
    ASSERT_TRUE(sink.WaitForPreviews(3, 2s));
    // Only the frame sent while enabled reached the sink, timed from the first frame converted.
    EXPECT_EQ(sink.frames.Items(), (std::vector<SinkPicture>{{expected, 0.25}}));

    EXPECT_EQ(video.Stop(), 0);
    // The streaming thread is gone before the device closes.
    EXPECT_EQ(std::tuple(state->streamOffs, state->closedWhileDequeuing, state->dequeuesInProgress),
              std::tuple(1, false, 0));
    // Every whole frame, and only those, showed in the preview.
    EXPECT_EQ(sink.previews.Items(), std::vector(3, SinkPicture{expected, 0, 4, 2}));
    EXPECT_EQ(video.Stop(), 0);
    EXPECT_EQ(state->streamOffs, 1);
    EXPECT_EQ(video.Start(0, &sink, 4, 2, 25), 1);
    EXPECT_TRUE(messages.Texts().empty());

    // RGB top-down (rows of `stride` bytes, 0: packed) into BGR bottom-up, scaled to the frame; a
    // short source or a destination of the wrong size is refused and the destination left alone.
    struct Row {
        uint32_t sw, sh, stride, dw, dh;
        std::vector<uint8_t> rgb, bgr;  // bgr empty: refused
    };
    const std::vector<uint8_t> twoByTwo = {9, 8, 7, 12, 11, 10, 3, 2, 1, 6, 5, 4};
    const std::vector<uint8_t> greys = {1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4,
                                        5, 5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8};
    const std::vector<uint8_t> full(12, 7);
    const Row rows[] = {
        {2, 2, 0, 2, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, twoByTwo},
        {2, 2, 8, 2, 2, {1, 2, 3, 4, 5, 6, 99, 99, 7, 8, 9, 10, 11, 12}, twoByTwo},  // padded rows
        {2, 1, 0, 4, 2, {10, 20, 30, 40, 50, 60}, {30, 20, 10, 30, 20, 10, 60, 50, 40, 60, 50, 40,
                                                   30, 20, 10, 30, 20, 10, 60, 50, 40, 60, 50, 40}},
        {4, 2, 0, 2, 1, greys, {1, 1, 1, 3, 3, 3}},
        {2, 2, 0, 2, 2, std::vector<uint8_t>(11, 7), {}},  // one byte short of 2 x 2
        {2, 2, 0, 2, 3, full, {}},                         // the destination holds 2 x 2
        {2, 2, 5, 2, 2, full, {}},                         // stride shorter than a row
        {0, 2, 0, 2, 2, full, {}},
    };
    for (const Row& r : rows) {
        std::vector<uint8_t> bgr(r.bgr.empty() ? 12 : r.bgr.size(), 0xAA);
        EXPECT_EQ(ConvertRgbTopDownToBgrBottomUp(r.rgb, r.sw, r.sh, r.stride, bgr, r.dw, r.dh),
                  !r.bgr.empty());
        EXPECT_EQ(bgr, r.bgr.empty() ? std::vector<uint8_t>(12, 0xAA) : r.bgr) << &r - rows;
    }
}

}  // namespace
}  // namespace capture
