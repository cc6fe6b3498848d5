#include "capture/capture_video.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <thread>

#include "audio_test_doubles.h"
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

// A width x height RGB24 picture, top row first, pixel (x, y) = (x, y, x + y).
std::vector<uint8_t> RgbPicture(uint32_t width, uint32_t height, uint32_t padding = 0) {
    std::vector<uint8_t> rgb;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            rgb.push_back(static_cast<uint8_t>(x));
            rgb.push_back(static_cast<uint8_t>(y));
            rgb.push_back(static_cast<uint8_t>(x + y));
        }
        rgb.insert(rgb.end(), padding, 0xEE);
    }
    return rgb;
}

class CaptureVideoTest : public ::testing::Test {
  protected:
    CaptureVideoTest()
        : state_(std::make_shared<FakeVideoState>()),
          video_(std::make_unique<FakeVideoLayer>(state_), &messages_) {}

    std::vector<std::string> Messages() { return messages_.Texts(); }

    std::shared_ptr<FakeVideoState> state_;
    RecordingMessageSink messages_;
    RecordingFrameSink sink_;
    CCaptureVideo video_;
};

TEST_F(CaptureVideoTest, CamerasAreTheCaptureNodesInOrderNamedByCard) {
    state_->AddCamera("/dev/video0", "USB Camera", {kPixelYuyv});
    state_->AddCamera("/dev/video1", "USB Camera metadata", {}, false);
    state_->AddCamera("/dev/video2", "Second Camera", {kPixelMjpeg});
    FakeVideoLayer layer(state_);
    const auto cameras = ListCameras(layer);
    ASSERT_TRUE(cameras.has_value());
    ASSERT_EQ(cameras->size(), 2u);
    EXPECT_EQ((*cameras)[0].node, "/dev/video0");
    EXPECT_EQ((*cameras)[0].name, "USB Camera");
    EXPECT_EQ((*cameras)[1].node, "/dev/video2");
    EXPECT_EQ((*cameras)[1].name, "Second Camera");

    // The setting's index counts the same way: index 1 is the second camera.
    EXPECT_EQ(video_.Start(1, &sink_, 320, 240, 25), 0);
    EXPECT_EQ(state_->opened.back(), "/dev/video2");
}

// MJPEG is preferred wherever it is listed, else the last format listed is asked, with the size
// and rate; frames are then asked for as RGB24 at that size.
TEST_F(CaptureVideoTest, TheDeviceFormatIsMjpegOrTheLastListedWithSizeAndRate) {
    struct Row {
        std::vector<uint32_t> formats;
        uint32_t asked;
    };
    for (const Row& row : {Row{{kPixelMjpeg, kPixelRgb24}, kPixelMjpeg},
                           Row{{FourCc('H', '2', '6', '4'), kNv12}, kNv12}}) {
        auto state = std::make_shared<FakeVideoState>();
        state->AddCamera("/dev/video0", "Cam", row.formats);
        CCaptureVideo video(std::make_unique<FakeVideoLayer>(state), &messages_);
        ASSERT_EQ(video.Start(0, &sink_, 640, 480, 25), 0);
        ASSERT_EQ(state->setFormats.size(), 2u);
        EXPECT_EQ(state->setFormats[0].pixelFormat, row.asked);
        EXPECT_EQ(state->setFormats[0].width, 640u);
        EXPECT_EQ(state->setFormats[0].height, 480u);
        EXPECT_EQ(state->setFormats[1].pixelFormat, kPixelRgb24);
        EXPECT_EQ(state->setFormats[1].width, 640u);
        EXPECT_EQ(state->intervals, (std::vector<std::pair<uint32_t, uint32_t>>{{1u, 25u}}));
        EXPECT_EQ(state->bufferCount, CCaptureVideo::kBufferCount);
        EXPECT_EQ(state->streamOns, 1);
    }
    EXPECT_TRUE(Messages().empty());
}

TEST_F(CaptureVideoTest, ARefusedSizeShowsTheSizeMessageAndPutsTheFormatBack) {
    state_->AddCamera("/dev/video0", "Cam", {kPixelYuyv});
    state_->refuseCaptureSize = true;
    EXPECT_EQ(video_.Start(0, &sink_, 1920, 1080, 25), 1);
    EXPECT_EQ(Messages(), std::vector<std::string>{CCaptureVideo::kSizeFailedText});
    ASSERT_EQ(state_->setFormats.size(), 2u);
    EXPECT_EQ(state_->setFormats[1].width, 320u);
    EXPECT_EQ(state_->setFormats[1].height, 240u);
    EXPECT_EQ(state_->streamOns, 0);
    EXPECT_GE(state_->closes, 2);  // listing, then the failed start
    // A failed start may be tried again.
    state_->refuseCaptureSize = false;
    EXPECT_EQ(video_.Start(0, &sink_, 1920, 1080, 25), 0);
}

// Each way the start can fail, with the one message it shows (none when the nodes cannot be
// listed) and how often the device was opened.
TEST_F(CaptureVideoTest, EachStartFailureShowsItsOwnText) {
    struct Case {
        void (*breakIt)(FakeVideoState&);
        int index;
        const char* text;
        size_t opens;
    };
    const Case cases[] = {
        {[](FakeVideoState& s) { s.refuseRgb = true; }, 0, CCaptureVideo::kMediaTypeFailedText, 2},
        {[](FakeVideoState& s) { s.failBuffers = true; }, 0, CCaptureVideo::kBuildFailedText, 2},
        {[](FakeVideoState& s) { s.failStreamOn = true; }, 0, CCaptureVideo::kRunFailedText, 2},
        {[](FakeVideoState& s) { s.devices["/dev/video0"].caps.canStream = false; }, 0,
         CCaptureVideo::kInterfacesFailedText, 2},
        // Busy after the listing opened it.
        {[](FakeVideoState& s) { s.devices["/dev/video0"].opens = 1; }, 0,
         CCaptureVideo::kInterfacesFailedText, 1},
        // An index beyond the last camera: only the listing opened it.
        {[](FakeVideoState&) {}, 1, CCaptureVideo::kSizeFailedText, 1},
        {[](FakeVideoState& s) { s.nodes.reset(); }, 0, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "no nodes");
        auto state = std::make_shared<FakeVideoState>();
        state->AddCamera("/dev/video0", "Cam", {kPixelYuyv});
        c.breakIt(*state);
        RecordingMessageSink messages;
        CCaptureVideo video(std::make_unique<FakeVideoLayer>(state), &messages);
        EXPECT_EQ(video.Start(c.index, &sink_, 320, 240, 25), 1);
        EXPECT_EQ(messages.Texts(), c.text != nullptr ? std::vector<std::string>{c.text}
                                                      : std::vector<std::string>{});
        EXPECT_EQ(state->opened.size(), c.opens);
    }
}

TEST_F(CaptureVideoTest, FramesReachThePreviewAlwaysAndTheSinkOnceEnabled) {
    state_->AddCamera("/dev/video0", "Cam", {kPixelYuyv});
    ASSERT_EQ(video_.Start(0, &sink_, 2, 2, 25), 0);
    state_->PushFrame(RgbPicture(2, 2), 100.0);
    // The preview comes after the frame sink's turn, so once it is seen the frame is settled.
    ASSERT_TRUE(sink_.WaitFor(0, 1, 2s));
    EXPECT_TRUE(sink_.Frames().empty());

    video_.SetSink(&sink_);
    video_.EnableFrames(true);
    state_->PushFrame(RgbPicture(2, 2), 100.04);
    ASSERT_TRUE(sink_.WaitFor(1, 2, 2s));
    const std::vector<uint8_t> expected = {1, 1, 0, 2, 1, 1,   // picture row 1 (bottom) first
                                           0, 0, 0, 1, 0, 1};  // then row 0, BGR
    ASSERT_EQ(sink_.Frames().size(), 1u);
    EXPECT_EQ(sink_.Frames()[0], expected);
    EXPECT_EQ(sink_.Previews()[1], expected);
    EXPECT_EQ(sink_.PreviewSizes()[1], std::make_pair(2, 2));
    EXPECT_NEAR(sink_.Times()[0], 0.04, 1e-9);

    video_.EnableFrames(false);
    state_->PushFrame(RgbPicture(2, 2), 100.08);
    ASSERT_TRUE(sink_.WaitFor(1, 3, 2s));
    EXPECT_EQ(sink_.Frames().size(), 1u);
}

// A device that settles on a smaller size, with padded RGB rows, still gives frames of the
// asked size with rows of exactly three bytes a pixel; a short frame is skipped, and times count
// from the first frame delivered. Stop joins the streaming thread before the device closes, once; a
// stopped or started camera refuses another start.
TEST_F(CaptureVideoTest, SettledSizeShortFramesStopAndRestart) {
    state_->AddCamera("/dev/video0", "Cam", {kPixelYuyv});
    state_->settleWidth = 2;
    state_->settleHeight = 1;
    state_->rgbPadding = 2;  // the device pads its RGB rows
    ASSERT_EQ(video_.Start(0, &sink_, 4, 2, 25), 0);
    EXPECT_EQ(video_.Start(0, &sink_, 4, 2, 25), 1);
    EXPECT_EQ(state_->streamOns, 1);
    EXPECT_EQ(video_.DeviceFormat().width, 2u);
    EXPECT_EQ(video_.DeviceFormat().height, 1u);
    video_.SetSink(&sink_);
    video_.EnableFrames(true);
    state_->PushFrame(std::vector<uint8_t>(5, 1), 0.0);  // short of the 6 its row needs
    state_->PushFrame({10, 20, 30, 40, 50, 60, 0xEE, 0xEE}, 0.5);
    ASSERT_TRUE(sink_.WaitFor(1, 1, 2s));
    const std::vector<uint8_t> row = {30, 20, 10, 30, 20, 10, 60, 50, 40, 60, 50, 40};
    std::vector<uint8_t> expected = row;
    expected.insert(expected.end(), row.begin(), row.end());
    EXPECT_EQ(sink_.Frames(), std::vector<std::vector<uint8_t>>{expected});
    EXPECT_EQ(sink_.Previews().size(), 1u);
    EXPECT_EQ(sink_.Times()[0], 0.0);

    EXPECT_EQ(video_.Stop(), 0);
    EXPECT_EQ(state_->streamOffs, 1);
    EXPECT_FALSE(state_->closedWhileDequeuing);
    EXPECT_EQ(state_->dequeuesInProgress, 0);  // the streaming thread is gone
    EXPECT_EQ(video_.Stop(), 0);
    EXPECT_EQ(state_->streamOffs, 1);
    EXPECT_EQ(video_.Start(0, &sink_, 4, 2, 25), 1);
    EXPECT_TRUE(Messages().empty());
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

}  // namespace
}  // namespace capture
