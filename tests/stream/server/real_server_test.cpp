// The exported API against a real RTMP server (nginx with its RTMP module): one handle publishes
// H.264 units as some encoders make them, another plays the stream back; ffprobe judges both
// the server's recording and what the player received.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <mutex>

#include "media_files.h"
#include "stream/rtmp.h"
#include "support/child_process.h"
#include "support/media_tools.h"
#include "support/nginx_rtmp_server.h"

namespace rtmp::test {
namespace {

using namespace std::chrono_literals;

// What a played stream delivers: the video as Annex B units, and their times.
struct Received {
    std::mutex mutex;
    std::string video;
    std::vector<int> times;
};

int OnVideo(void* user, const uint8_t* data, int length, int ts) {
    auto* r = static_cast<Received*>(user);
    std::lock_guard<std::mutex> lock(r->mutex);
    r->video.append(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    r->times.push_back(ts);
    return 0;
}

// ffprobe's verdict on a file: H.264 with at least 50 pictures, no errors.
void ExpectDecodes(const std::filesystem::path& file) {
    const ProbeResult probe = Probe(file);
    ASSERT_TRUE(probe.ok) << probe.error;
    ASSERT_NE(probe.Video(), nullptr);
    EXPECT_EQ(probe.Video()->codecName, "h264");
    EXPECT_GE(probe.Video()->frames, 50);
    EXPECT_EQ(DecodeErrors(file), "");
}

TEST(RealServerTest, UnitsWithADelimiterAndTwoSeiAreRecordedAndPlayedBackWhole) {
    NginxRtmpServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
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
    const std::string url = server.Url("live", "aud_sei");
    void* player = RTMP_Create();
    Received received;
    ASSERT_EQ(RTMP_Connect(player, url.c_str()), 1);
    ASSERT_EQ(RTMP_SetStreamOut(player, OnVideo, nullptr, &received), 1);
    ASSERT_EQ(RTMP_Play(player), 1);
    ASSERT_TRUE(WaitUntil(
        [&] { return server.ErrorLog().find("play: name='aud_sei'") != std::string::npos; }, 10s));

    void* publisher = RTMP_Create();
    ASSERT_EQ(RTMP_Connect(publisher, url.c_str()), 1);
    ASSERT_EQ(RTMP_Publish(publisher, "record"), 1);
    int pictures = 0;
    for (const media::AccessUnit& au : media::SplitAccessUnits(*bytes)) {
        if (!au.hasPicture)
            continue;
        std::vector<uint8_t> unit = head;
        unit.insert(unit.end(), au.data.begin(), au.data.end());
        ASSERT_EQ(RTMP_SendStream(publisher, unit.data(), static_cast<int>(unit.size()), 40, 9), 1);
        ++pictures;
    }
    ASSERT_EQ(pictures, 50);
    EXPECT_TRUE(WaitUntil(
        [&] {
            std::lock_guard<std::mutex> lock(received.mutex);
            return received.times.size() >= 50u;
        },
        10s));
    EXPECT_EQ(RTMP_Disconnect(publisher), 1);
    EXPECT_EQ(RTMP_Disconnect(player), 1);
    RTMP_Release(publisher);
    RTMP_Release(player);
    server.Stop();  // the recording is complete once nginx has ended
    ExpectDecodes(server.RecordingPath("aud_sei"));  // not one unit dropped

    std::lock_guard<std::mutex> lock(received.mutex);
    for (size_t i = 1; i < received.times.size(); ++i)
        EXPECT_GT(received.times[i], received.times[i - 1]);
    std::ofstream(dir.Path() / "played.h264", std::ios::binary) << received.video;
    ExpectDecodes(dir.Path() / "played.h264");
}

}  // namespace
}  // namespace rtmp::test
