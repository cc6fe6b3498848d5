#include "capture/capture_video.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>
#include <tuple>

#include "audio_test_doubles.h"
#include "capture/camera_format.h"
#include "capture/video_device_list.h"
#include "video_test_doubles.h"

namespace capture {
namespace {

using namespace std::chrono_literals;
using test::FakeVideoLayer;
using test::FakeVideoState;
using test::RecordingFrameSink;
using test::RecordingMessageSink;

constexpr uint32_t kNv12 = FourCc('N', 'V', '1', '2');
constexpr uint32_t kH264 = FourCc('H', '2', '6', '4');

// A format's pixel format and size.
std::tuple<uint32_t, uint32_t, uint32_t> Shape(const VideoFormat& f) {
    return {f.pixelFormat, f.width, f.height};
}

class CaptureVideoTest : public ::testing::Test {
  protected:
    CaptureVideoTest()
        : state_(std::make_shared<FakeVideoState>()),
          video_(std::make_unique<FakeVideoLayer>(state_), &messages_) {}

    std::shared_ptr<FakeVideoState> state_;
    RecordingMessageSink messages_;
    RecordingFrameSink sink_;
    CCaptureVideo video_;
};

// The cameras are the capture nodes in order, named by card, and the setting's index counts the
// same way. A refused size shows the size message and puts the format back; the start may be
// tried again.
TEST_F(CaptureVideoTest, CamerasAreTheCaptureNodesAndARefusedSizePutsTheFormatBack) {
    state_->AddCamera("/dev/video0", "USB Camera", {kPixelYuyv});
    state_->AddCamera("/dev/video1", "USB Camera metadata", {}, false);
    state_->AddCamera("/dev/video2", "Second Camera", {kPixelMjpeg});
    FakeVideoLayer layer(state_);
    using testing::AllOf;
    using testing::Field;
    EXPECT_THAT(ListCameras(layer), testing::Optional(testing::ElementsAre(
                                        AllOf(Field(&VideoDeviceEntry::node, "/dev/video0"),
                                              Field(&VideoDeviceEntry::name, "USB Camera")),
                                        AllOf(Field(&VideoDeviceEntry::node, "/dev/video2"),
                                              Field(&VideoDeviceEntry::name, "Second Camera")))));

    state_->refuseCaptureSize = true;
    EXPECT_EQ(video_.Start(1, &sink_, 1920, 1080, 25), 1);
    EXPECT_EQ(messages_.Texts(), std::vector<std::string>{CCaptureVideo::kSizeFailedText});
    ASSERT_EQ(state_->setFormats.size(), 2u);
    EXPECT_EQ(Shape(state_->setFormats[0]), std::tuple(kPixelMjpeg, 1920u, 1080u));
    EXPECT_EQ(Shape(state_->setFormats[1]), std::tuple(kPixelYuyv, 320u, 240u));
    EXPECT_EQ(state_->streamOns, 0);
    EXPECT_EQ(state_->closes, 7);  // three listed twice, then the failed start
    state_->refuseCaptureSize = false;
    EXPECT_EQ(video_.Start(1, &sink_, 1920, 1080, 25), 0);
    EXPECT_EQ(state_->opened.back(), "/dev/video2");
}

// Each start with the one message it shows (none when it works or the nodes cannot be listed)
// and how often the device was opened. A working start asks for MJPEG wherever it is listed,
// else for the last format listed, with the size and rate; then for RGB24 frames at that size.
TEST_F(CaptureVideoTest, EachStartShowsItsOwnTextOrAsksForTheChosenFormat) {
    struct Case {
        void (*setUp)(FakeVideoState&);  // none: a working camera with the formats
        int index;
        const char* text;
        size_t opens;
        uint32_t asked;  // the device format of a working start, else 0
        std::vector<uint32_t> formats = {kPixelYuyv};
    };
    const Case cases[] = {
        {nullptr, 0, nullptr, 2, kPixelMjpeg, {kPixelMjpeg, kPixelRgb24}},
        {nullptr, 0, nullptr, 2, kNv12, {kH264, kNv12}},
        {[](FakeVideoState& s) { s.refuseRgb = true; }, 0, CCaptureVideo::kMediaTypeFailedText, 2,
         0},
        {[](FakeVideoState& s) { s.failBuffers = true; }, 0, CCaptureVideo::kBuildFailedText, 2, 0},
        {[](FakeVideoState& s) { s.failStreamOn = true; }, 0, CCaptureVideo::kRunFailedText, 2, 0},
        {[](FakeVideoState& s) { s.devices["/dev/video0"].caps.canStream = false; }, 0,
         CCaptureVideo::kInterfacesFailedText, 2, 0},
        // Busy after the listing opened it.
        {[](FakeVideoState& s) { s.devices["/dev/video0"].opens = 1; }, 0,
         CCaptureVideo::kInterfacesFailedText, 1, 0},
        // An index beyond the last camera: only the listing opened it.
        {nullptr, 1, CCaptureVideo::kSizeFailedText, 1, 0},
        {[](FakeVideoState& s) { s.nodes.reset(); }, 0, nullptr, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text != nullptr ? c.text : std::to_string(c.asked));
        auto state = std::make_shared<FakeVideoState>();
        state->AddCamera("/dev/video0", "Cam", c.formats);
        if (c.setUp != nullptr)
            c.setUp(*state);
        RecordingMessageSink messages;
        CCaptureVideo video(std::make_unique<FakeVideoLayer>(state), &messages);
        EXPECT_EQ(video.Start(c.index, &sink_, 640, 480, 25), c.asked != 0 ? 0 : 1);
        EXPECT_EQ(messages.Texts(), c.text != nullptr ? std::vector<std::string>{c.text}
                                                      : std::vector<std::string>{});
        EXPECT_EQ(state->opened.size(), c.opens);
        if (c.asked == 0)
            continue;
        ASSERT_EQ(state->setFormats.size(), 2u);
        EXPECT_EQ(Shape(state->setFormats[0]), std::tuple(c.asked, 640u, 480u));
        EXPECT_EQ(Shape(state->setFormats[1]), std::tuple(kPixelRgb24, 640u, 480u));
        EXPECT_EQ(state->intervals, (std::vector<std::pair<uint32_t, uint32_t>>{{1u, 25u}}));
        EXPECT_EQ(state->bufferCount, CCaptureVideo::kBufferCount);
        EXPECT_EQ(state->streamOns, 1);
    }
}

// A device that settles on another size, with padded RGB rows, still gives frames of the asked
// size with rows of exactly three bytes a pixel, bottom-up. Frames reach the preview always and
// the sink once enabled; a short frame is skipped; times count from the first frame converted.
// Stop joins the streaming thread before the device closes, once; a started or stopped camera
// refuses another start.
TEST_F(CaptureVideoTest, FramesOfTheAskedSizeReachThePreviewAndOnceEnabledTheSink) {
    state_->AddCamera("/dev/video0", "Cam", {kPixelYuyv});
    state_->settleWidth = 2;
    state_->settleHeight = 2;
    state_->rgbPadding = 2;
    ASSERT_EQ(video_.Start(0, &sink_, 4, 2, 25), 0);
    EXPECT_EQ(video_.Start(0, &sink_, 4, 2, 25), 1);
    EXPECT_EQ(state_->streamOns, 1);
    EXPECT_EQ(Shape(video_.DeviceFormat()), std::tuple(kPixelRgb24, 2u, 2u));
    // Top row (1, 2, 3), (4, 5, 6), bottom row (7, 8, 9), (10, 11, 12), each with two pad bytes.
    const std::vector<uint8_t> rgb = {1, 2, 3, 4,  5,  6,  0xEE, 0xEE,
                                      7, 8, 9, 10, 11, 12, 0xEE, 0xEE};
    const std::vector<uint8_t> expected = {9, 8, 7, 9, 8, 7, 12, 11, 10, 12, 11, 10,
                                           3, 2, 1, 3, 2, 1, 6,  5,  4,  6,  5,  4};
    // Short of the 14 bytes two rows need (the last one needs no padding).
    state_->PushFrame(std::vector<uint8_t>(13, 1), 99.0);
    state_->PushFrame(rgb, 100.0);
    // The preview comes after the frame sink's turn, so once it is seen the frame is settled.
    ASSERT_TRUE(sink_.WaitFor(0, 1, 2s));
    EXPECT_TRUE(sink_.frames.Items().empty());

    video_.SetSink(&sink_);
    video_.EnableFrames(true);
    state_->PushFrame(rgb, 100.04);
    ASSERT_TRUE(sink_.WaitFor(1, 2, 2s));
    ASSERT_EQ(sink_.frames.Items().size(), 1u);
    EXPECT_EQ(sink_.frames.Items()[0].bytes, expected);
    EXPECT_NEAR(sink_.frames.Items()[0].time, 0.04, 1e-9);
    EXPECT_EQ(sink_.previews.Items()[1], (test::SinkPicture{expected, 0, 4, 2}));

    video_.EnableFrames(false);
    state_->PushFrame(rgb, 100.08);
    ASSERT_TRUE(sink_.WaitFor(1, 3, 2s));
    EXPECT_EQ(sink_.frames.Items().size(), 1u);

    EXPECT_EQ(video_.Stop(), 0);
    EXPECT_EQ(state_->streamOffs, 1);
    EXPECT_FALSE(state_->closedWhileDequeuing);
    EXPECT_EQ(state_->dequeuesInProgress, 0);  // the streaming thread is gone
    EXPECT_EQ(sink_.previews.Items().size(), 3u) << "the short frame showed in the preview";
    EXPECT_EQ(video_.Stop(), 0);
    EXPECT_EQ(state_->streamOffs, 1);
    EXPECT_EQ(video_.Start(0, &sink_, 4, 2, 25), 1);
    EXPECT_TRUE(messages_.Texts().empty());
}

// The libv4l2 layer on this machine: a node that is no video device is not opened, and without
// cameras the start fails with the size message.
TEST(V4l2DeviceLayerTest, NoVideoDeviceIsOpenedAndWithoutCamerasTheStartSaysSo) {
    const std::unique_ptr<VideoDeviceLayer> layer = MakeV4l2DeviceLayer();
    EXPECT_FALSE(layer->Open("/dev/null"));
    EXPECT_FALSE(layer->Open("/dev/no_such_video_node"));
    VideoDeviceCaps caps;
    EXPECT_FALSE(layer->QueryCaps(caps));
    EXPECT_TRUE(layer->EnumerateFormats().empty());
    VideoFormat format;
    EXPECT_FALSE(layer->GetFormat(format));
    EXPECT_FALSE(layer->StreamOn());
    const auto nodes = layer->ListNodes();
    ASSERT_TRUE(nodes.has_value());
    if (!nodes->empty()) {
        GTEST_SKIP() << "this machine has video nodes";
    }
    RecordingMessageSink messages;
    RecordingFrameSink sink;
    CCaptureVideo video(MakeV4l2DeviceLayer(), &messages);
    EXPECT_EQ(video.Start(0, &sink, 640, 480, 25), 1);
    EXPECT_EQ(messages.Texts(), std::vector<std::string>{CCaptureVideo::kSizeFailedText});
    EXPECT_TRUE(EnumerateVideoDevices().empty());
}

// The first preferred format in the device's order, else the last listed.
TEST(CameraFormatTest, ChoiceAndFrameSize) {
    EXPECT_EQ(ChooseCaptureFormat({kPixelMjpeg, kPixelRgb24}), kPixelMjpeg);
    EXPECT_EQ(ChooseCaptureFormat({kNv12, kPixelYuyv, kPixelMjpeg}), kPixelYuyv);
    EXPECT_EQ(ChooseCaptureFormat({kH264, kPixelRgb24}), kPixelRgb24);
    EXPECT_EQ(ChooseCaptureFormat({kNv12, kH264}), kH264);
    EXPECT_EQ(ChooseCaptureFormat({}), std::nullopt);
    EXPECT_EQ(CameraFrameBytes(638, 480), 918720u);  // rows of exactly three bytes a pixel
}

// RGB top-down (rows of `stride` bytes, 0: packed) into BGR bottom-up, scaled to the frame.
TEST(CameraFormatTest, RgbTopDownBecomesBgrBottomUp) {
    struct Row {
        uint32_t sw, sh, stride, dw, dh;
        std::vector<uint8_t> rgb, bgr;
    };
    const std::vector<uint8_t> twoByTwo = {9, 8, 7, 12, 11, 10, 3, 2, 1, 6, 5, 4};
    const std::vector<uint8_t> greys = {1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4,
                                        5, 5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8};
    const Row rows[] = {
        {2, 2, 0, 2, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, twoByTwo},
        {2, 2, 8, 2, 2, {1, 2, 3, 4, 5, 6, 99, 99, 7, 8, 9, 10, 11, 12}, twoByTwo},  // padded rows
        {2, 1, 0, 4, 2, {10, 20, 30, 40, 50, 60}, {30, 20, 10, 30, 20, 10, 60, 50, 40, 60, 50, 40,
                                                   30, 20, 10, 30, 20, 10, 60, 50, 40, 60, 50, 40}},
        {4, 2, 0, 2, 1, greys, {1, 1, 1, 3, 3, 3}},
    };
    for (const Row& r : rows) {
        std::vector<uint8_t> bgr(r.bgr.size());
        ASSERT_TRUE(ConvertRgbTopDownToBgrBottomUp(r.rgb, r.sw, r.sh, r.stride, bgr, r.dw, r.dh));
        EXPECT_EQ(bgr, r.bgr) << r.sw << "x" << r.sh << " -> " << r.dw << "x" << r.dh;
    }
}

TEST(CameraFormatTest, ShortSourceOrWrongDestinationIsRefusedUntouched) {
    const std::vector<uint8_t> rgb(11, 7);  // one byte short of 2 x 2
    std::vector<uint8_t> bgr(12, 0xAA);
    EXPECT_FALSE(ConvertRgbTopDownToBgrBottomUp(rgb, 2, 2, 0, bgr, 2, 2));
    EXPECT_EQ(bgr, std::vector<uint8_t>(12, 0xAA));
    const std::vector<uint8_t> full(12, 7);
    std::vector<uint8_t> wrong(11);
    EXPECT_FALSE(ConvertRgbTopDownToBgrBottomUp(full, 2, 2, 0, wrong, 2, 2));
    EXPECT_FALSE(ConvertRgbTopDownToBgrBottomUp(full, 2, 2, 5, bgr, 2, 2));  // stride < row
    EXPECT_FALSE(ConvertRgbTopDownToBgrBottomUp(full, 0, 2, 0, bgr, 2, 2));
}

}  // namespace
}  // namespace capture
