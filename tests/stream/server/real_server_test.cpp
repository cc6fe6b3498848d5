// The exported API against a real RTMP server (nginx with its RTMP module).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

#include "media_files.h"
#include "stream/rtmp.h"
#include "support/media_tools.h"
#include "support/nginx_rtmp_server.h"

namespace rtmp::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class RealServerTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server_.Start()) << server_.Error(); }
    void TearDown() override {
        if (handle_ != nullptr)
            RTMP_Release(handle_);
    }
    void* Handle() {
        if (handle_ == nullptr)
            handle_ = RTMP_Create();
        return handle_;
    }
    NginxRtmpServer server_;
    void* handle_ = nullptr;
};

TEST_F(RealServerTest, PublishModesReachTheServerAsSuch) {
    for (const char* mode : {"live", "record", "append"}) {
        const std::string stream = std::string("mode_") + mode;
        ASSERT_EQ(RTMP_Connect(Handle(), server_.Url("live", stream).c_str()), 1);
        ASSERT_EQ(RTMP_Publish(Handle(), mode), 1) << mode;
        EXPECT_EQ(RTMP_GetState(Handle()), 1);
        // The server states what it was asked for in its log.
        std::string log;
        for (int i = 0; i < 100; ++i) {
            log = server_.ErrorLog();
            if (log.find("name='" + stream + "'") != std::string::npos)
                break;
            std::this_thread::sleep_for(20ms);
        }
        EXPECT_NE(log.find("name='" + stream + "' args='' type=" + mode), std::string::npos)
            << mode;
        EXPECT_EQ(RTMP_Disconnect(Handle()), 1);
    }
}

TEST_F(RealServerTest, UnknownApplicationFailsAndAServerGoingAwayIsSeenWithinASecond) {
    EXPECT_EQ(RTMP_Connect(Handle(), server_.Url("nosuchapp", "x").c_str()), 0);
    EXPECT_EQ(RTMP_GetState(Handle()), 0);
    EXPECT_EQ(RTMP_Disconnect(Handle()), 0);
    EXPECT_EQ(RTMP_Publish(Handle(), "live"), 0);
    ASSERT_EQ(RTMP_Connect(Handle(), server_.Url("live", "gone").c_str()), 1);
    ASSERT_EQ(RTMP_Publish(Handle(), "live"), 1);
    server_.Stop();
    const auto stopped = Clock::now();
    while (RTMP_GetState(Handle()) != 0 && Clock::now() - stopped < 1s)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(RTMP_GetState(Handle()), 0);
    // And the same handle connects again once the server is back.
    ASSERT_TRUE(server_.Start()) << server_.Error();
    EXPECT_EQ(RTMP_Connect(Handle(), server_.Url("live", "gone").c_str()), 1);
    EXPECT_EQ(RTMP_Publish(Handle(), "live"), 1);
}

// What a played stream delivers: [0] video (Annex B units), [1] audio (ADTS frames).
struct Received {
    std::mutex mutex;
    std::string bytes[2];
    int count[2] = {};
    std::vector<int> videoTimes;
};

template <int Kind>
int OnMedia(void* user, const uint8_t* data, int length, int ts) {
    auto* r = static_cast<Received*>(user);
    std::lock_guard<std::mutex> lock(r->mutex);
    r->bytes[Kind].append(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    ++r->count[Kind];
    if (Kind == 0)
        r->videoTimes.push_back(ts);
    return 0;
}

// ffprobe's verdict on a file: the codec, more than minFrames pictures (video), no errors.
void ExpectDecodes(const std::filesystem::path& file, const std::string& codec, int minFrames) {
    const ProbeResult probe = Probe(file);
    ASSERT_TRUE(probe.ok) << probe.error;
    const auto* stream = codec == "aac" ? probe.Audio() : probe.Video();
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->codecName, codec);
    if (codec != "aac") {
        EXPECT_GE(stream->frames, minFrames);
    }
    EXPECT_EQ(DecodeErrors(file), "");
}

TEST_F(RealServerTest, PlaysAStreamPublishedByFfmpeg) {
    const std::string url = server_.Url("live", "from_ffmpeg");
    auto publisher = PublishWithFfmpeg(url, 6.0);
    ASSERT_NE(publisher, nullptr);
    std::this_thread::sleep_for(1500ms);  // let ffmpeg connect and start
    ASSERT_EQ(RTMP_Connect(Handle(), url.c_str()), 1);
    Received received;
    EXPECT_EQ(RTMP_SetStreamOut(Handle(), OnMedia<0>, OnMedia<1>, &received), 1);
    EXPECT_EQ(RTMP_Play(Handle()), 1);
    for (const auto start = Clock::now();
         Clock::now() - start < 3s && RTMP_GetState(Handle()) == 1;)
        std::this_thread::sleep_for(50ms);
    RTMP_Disconnect(Handle());
    publisher->Stop();

    TempDir dir;
    std::lock_guard<std::mutex> lock(received.mutex);
    ASSERT_GT(received.count[0], 25) << publisher->Log();
    ASSERT_GT(received.count[1], 40);
    for (size_t i = 1; i < received.videoTimes.size(); ++i)
        EXPECT_GT(received.videoTimes[i], received.videoTimes[i - 1]);
    std::ofstream(dir.Path() / "played.h264", std::ios::binary) << received.bytes[0];
    std::ofstream(dir.Path() / "played.aac", std::ios::binary) << received.bytes[1];
    ExpectDecodes(dir.Path() / "played.h264", "h264", 26);
    ExpectDecodes(dir.Path() / "played.aac", "aac", 0);
}

TEST_F(RealServerTest, UnitsBeginningWithADelimiterAndTwoSeiAreRecordedAndDecode) {
    TempDir dir;
    const auto source = dir.Path() / "source.h264";
    std::string error;
    ASSERT_TRUE(MakeTestH264(source, 160, 120, 25, 50, 25, &error)) << error;
    const auto bytes = media::ReadFileBytes(source);
    ASSERT_TRUE(bytes.has_value());
    // As some encoders make them: a delimiter, then two SEI units (unregistered user data),
    // then what the encoder wrote.
    std::vector<uint8_t> head = {0, 0, 0, 1, 0x09, 0xF0};
    for (uint8_t last : {0x41, 0x42}) {
        const std::vector<uint8_t> sei = {0,    0,    0,    1,    0x06, 0x05, 0x11, 0x4D, 0x3A,
                                          0x61, 0x5C, 0x28, 0x1B, 0x47, 0x9E, 0x83, 0x52, 0x6F,
                                          0x11, 0xC4, 0x7D, 0x39, 0xA8, last, 0x80};
        head.insert(head.end(), sei.begin(), sei.end());
    }
    ASSERT_EQ(RTMP_Connect(Handle(), server_.Url("live", "aud_sei").c_str()), 1);
    ASSERT_EQ(RTMP_Publish(Handle(), "live"), 1);
    int pictures = 0;
    for (const media::AccessUnit& au : media::SplitAccessUnits(*bytes)) {
        if (!au.hasPicture)
            continue;
        std::vector<uint8_t> unit = head;
        unit.insert(unit.end(), au.data.begin(), au.data.end());
        ASSERT_EQ(RTMP_SendStream(Handle(), unit.data(), static_cast<int>(unit.size()), 40, 9), 1);
        ++pictures;
    }
    ASSERT_EQ(pictures, 50);
    EXPECT_EQ(RTMP_Disconnect(Handle()), 1);
    server_.Stop();  // the recording is complete once nginx has ended
    ExpectDecodes(server_.RecordingPath("aud_sei"), "h264", 50);  // not one unit dropped
}

}  // namespace
}  // namespace rtmp::test
