#include "support/nginx_rtmp_server.h"

#include <gtest/gtest.h>

#include "support/media_tools.h"

namespace rtmp::test {
namespace {

using namespace std::chrono_literals;

// Publishes `seconds` of ffmpeg's test stream to the URL and waits until ffmpeg is done.
void PublishAndWait(const std::string& url, double seconds) {
    std::unique_ptr<FfmpegPublisher> ffmpeg = PublishWithFfmpeg(url, seconds);
    ASSERT_NE(ffmpeg, nullptr);
    const int code =
        ffmpeg->Wait(std::chrono::milliseconds(static_cast<int>(seconds * 1000)) + 20s);
    EXPECT_EQ(code, 0) << ffmpeg->Log();
}

void ExpectH264AndAacRecording(const std::filesystem::path& file, long minVideoFrames) {
    ASSERT_TRUE(std::filesystem::exists(file)) << file;
    const ProbeResult probe = Probe(file);
    ASSERT_TRUE(probe.ok) << probe.error;
    EXPECT_EQ(probe.formatName, "flv");
    const ProbedStream* video = probe.Video();
    const ProbedStream* audio = probe.Audio();
    ASSERT_NE(video, nullptr);
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(video->codecName, "h264");
    EXPECT_EQ(video->width, 320);
    EXPECT_EQ(video->height, 240);
    EXPECT_GE(video->frames, minVideoFrames);
    EXPECT_EQ(audio->codecName, "aac");
    EXPECT_EQ(audio->sampleRate, 44100);
    EXPECT_EQ(audio->channels, 2);
    EXPECT_GT(audio->frames, 0);
    EXPECT_EQ(DecodeErrors(file), "");
}

TEST(NginxRtmpServer, RecordsPublishedStreamAndRestartsOnSamePort) {
    NginxRtmpServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    const uint16_t port = server.Port();
    ASSERT_NE(port, 0);
    EXPECT_TRUE(LoopbackPortAccepts(port, 0ms));
    EXPECT_EQ(server.Url("live", "fixture"),
              "rtmp://127.0.0.1:" + std::to_string(port) + "/live/fixture");

    PublishAndWait(server.Url("live", "fixture"), 2.0);
    // 2 s at 25 frames per second; the server may drop nothing but the clock may cut one.
    ExpectH264AndAacRecording(server.RecordingPath("fixture"), 48);
    const std::vector<double> times = PacketTimes(server.RecordingPath("fixture"), 'v');
    ASSERT_GE(times.size(), 48u);
    EXPECT_NEAR(times.back() - times.front(), 1960.0, 80.0);

    server.Stop();
    EXPECT_FALSE(server.Running());
    EXPECT_FALSE(LoopbackPortAccepts(port, 0ms));

    ASSERT_TRUE(server.Start()) << server.Error();
    EXPECT_EQ(server.Port(), port);
    PublishAndWait(server.Url("live", "again"), 1.0);
    ExpectH264AndAacRecording(server.RecordingPath("again"), 23);
}

TEST(NginxRtmpServer, ApplicationWithSlashAndStreamNameWithColon) {
    NginxRtmpServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    PublishAndWait(server.Url("encoder/qkz", "mp4:lesson1"), 1.0);
    const std::filesystem::path file = server.RecordingPath("mp4:lesson1");
    EXPECT_EQ(file.filename(), "mp4%3Alesson1.flv");
    ExpectH264AndAacRecording(file, 23);
    EXPECT_NE(server.ErrorLog().find("connect: app='encoder/qkz'"), std::string::npos)
        << server.ErrorLog();
    EXPECT_NE(server.ErrorLog().find("publish: name='mp4:lesson1'"), std::string::npos);
}

TEST(NginxRtmpServer, UnknownApplicationIsRefused) {
    NginxRtmpServer server(NginxRtmpOptions{{"only"}, 0, true, 4096});
    ASSERT_TRUE(server.Start()) << server.Error();
    std::unique_ptr<FfmpegPublisher> ffmpeg = PublishWithFfmpeg(server.Url("live", "x"), 1.0);
    ASSERT_NE(ffmpeg, nullptr);
    const int code = ffmpeg->Wait(20s);
    EXPECT_NE(code, 0);
    EXPECT_NE(code, -1) << "ffmpeg still running";
    EXPECT_FALSE(std::filesystem::exists(server.RecordingPath("x")));
}

TEST(NginxRtmpServer, SecondServerOnTakenPortFailsWithLog) {
    NginxRtmpServer first;
    ASSERT_TRUE(first.Start()) << first.Error();
    NginxRtmpServer second(NginxRtmpOptions{{"live"}, first.Port(), true, 4096});
    EXPECT_FALSE(second.Start());
    EXPECT_NE(second.Error().find("bind()"), std::string::npos) << second.Error();
    EXPECT_FALSE(second.Running());
    EXPECT_TRUE(first.Running());
}

TEST(NginxRtmpServer, DestructorStopsServer) {
    uint16_t port = 0;
    {
        NginxRtmpServer server;
        ASSERT_TRUE(server.Start()) << server.Error();
        port = server.Port();
        EXPECT_TRUE(LoopbackPortAccepts(port, 0ms));
    }
    EXPECT_FALSE(LoopbackPortAccepts(port, 0ms));
}

TEST(NginxRtmpServer, RecordingPathEscapesLikeServer) {
    NginxRtmpServer server;
    EXPECT_EQ(server.RecordingPath("a-b.c_d~e"), server.RecordDir() / "a-b.c_d~e.flv");
    EXPECT_EQ(server.RecordingPath("p@q,r=s+t$u;v").filename(), "p%40q%2Cr%3Ds%2Bt%24u%3Bv.flv");
    EXPECT_EQ(server.RecordingPath("cam?token=1").filename(), "cam.flv");
}

}  // namespace
}  // namespace rtmp::test
