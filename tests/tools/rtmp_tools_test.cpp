// rtmp_publish and rtmp_play against a private nginx.
#include <gtest/gtest.h>

#include <algorithm>

#include "media_files.h"
#include "stream/rtmp.h"
#include "support/child_process.h"
#include "support/media_tools.h"
#include "support/nginx_rtmp_server.h"

namespace rtmp::test {
namespace {

using namespace std::chrono_literals;

constexpr int kFrames = 75;  // 3 s at 25 fps
constexpr int kSampleRate = 44100;

// Failures give one line and a non-zero status; a busy stream is refused; a lost server ends the
// publish. Then a publish with a player waiting: recording and played files hold every unit and
// frame at its time.
TEST(RtmpToolsTest, FailuresRefusalsALostServerAndAPublishRecordedAndPlayedBack) {
    const TempDir dir("rtmp_tools");
    const std::string h264 = (dir / "in.h264").string(), aac = (dir / "in.aac").string();
    std::string error;
    ASSERT_TRUE(MakeTestH264(h264, 320, 240, 25, kFrames, 25, &error)) << error;
    ASSERT_TRUE(MakeTestAdts(aac, kSampleRate, 2, 3.0, &error)) << error;
    const size_t adtsFrames =
        media::SplitAdtsFrames(media::ReadFileBytes(aac).value()).frames.size();
    ASSERT_GT(adtsFrames, 100u);
    NginxRtmpServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    const auto publish = [&](const std::string& url, const std::string& mode) {
        return std::vector<std::string>{
            RTMP_PUBLISH_PATH, "--video", h264,       "--audio", aac,      "--fps", "25",
            "--width",         "320",     "--height", "240",     "--mode", mode,    url};
    };

    // Another client holds the stream "busy".
    void* holder = RTMP_Create();
    ASSERT_EQ(RTMP_Connect(holder, server.Url("live", "busy").c_str()), 1);
    ASSERT_EQ(RTMP_Publish(holder, "live"), 1);
    const std::string unreachable =
        "rtmp://127.0.0.1:" + std::to_string(PickFreeLoopbackPort()) + "/live/nobody";
    const struct {
        std::vector<std::string> argv;
        int exitCode;
        const char* expect;
    } cases[] = {
        {publish("http://127.0.0.1/live/x", "live"), 1, "invalid URL"},
        {publish("rtmp://127.0.0.1", "live"), 1, "invalid URL"},
        {publish(unreachable, "live"), 1, "cannot connect"},
        {publish(server.Url("nosuchapp", "x"), "live"), 1, "cannot connect"},
        {publish(server.Url("live", "busy"), "live"), 1, "refused to publish"},
        {{RTMP_PUBLISH_PATH, server.Url("live", "x")}, 2, "nothing to send"},
        {{RTMP_PLAY_PATH, "--seconds", "1", "rtmp://127.0.0.1:1"}, 1, "invalid URL"},
        {{RTMP_PLAY_PATH, "--seconds", "1", unreachable}, 1, "cannot connect"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = RunProcess(c.argv, 30s);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.argv.back() << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n') == 1, c.exitCode == 1) << r.err;
        EXPECT_NE(r.err.find(c.expect), std::string::npos) << r.err;
    }

    RTMP_Release(holder);

    ChildProcess dropped;
    const auto log = dir / "dropped.log";
    ASSERT_TRUE(dropped.Start(publish(server.Url("live", "dropped"), "live"), log));
    // The first progress line: connected, publishing and sending.
    ASSERT_TRUE(
        WaitUntil([&] { return ReadTextFile(log).find(" s  video ") != std::string::npos; }, 10s))
        << ReadTextFile(log);
    server.Stop();
    EXPECT_NE(dropped.Wait(10s).value_or(0), 0) << "rtmp_publish ended well or kept running";
    EXPECT_NE(ReadTextFile(log).find("connection lost"), std::string::npos) << ReadTextFile(log);

    ASSERT_TRUE(server.Start()) << server.Error();
    const std::string url = server.Url("live", "published");
    ChildProcess play;
    ASSERT_TRUE(play.Start({RTMP_PLAY_PATH, "--seconds", "6", "--video", dir / "out.h264",
                            "--audio", dir / "out.aac", url},
                           dir / "play.log"));
    ASSERT_TRUE(WaitUntil(
        [&] { return server.ErrorLog().find("play: name='published'") != std::string::npos; }, 10s))
        << server.ErrorLog() << ReadTextFile(dir / "play.log");
    const ProcessResult r = RunProcess(publish(url, "record"), 30s);
    ASSERT_TRUE(r.Succeeded()) << "exit " << r.exitCode << "\n" << r.out << r.err;
    ASSERT_EQ(play.Wait(15s), std::optional<int>(0)) << ReadTextFile(dir / "play.log");
    // Each tool's closing summary counts what went over the wire.
    const std::string audio = std::to_string(adtsFrames) + " audio frames";
    EXPECT_NE(r.out.find("sent 75 video units, " + audio), std::string::npos) << r.out;
    const std::string played = ReadTextFile(dir / "play.log");
    EXPECT_NE(played.find("received 75 video units"), std::string::npos) << played;
    EXPECT_NE(played.find(audio), std::string::npos) << played;
    server.Stop();  // closes the recording

    const auto file = server.RecordingPath("published");
    const ProbeResult recorded = Probe(file), video = Probe(dir / "out.h264"),
                      sound = Probe(dir / "out.aac");
    for (const ProbedStream* v : {recorded.Video(), video.Video()}) {
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(std::tie(v->codecName, v->width, v->height, v->frames),
                  std::tuple("h264", 320, 240, long{kFrames}));
    }
    for (const ProbedStream* a : {recorded.Audio(), sound.Audio()}) {
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(std::tie(a->codecName, a->sampleRate, a->channels, a->packets),
                  std::tuple("aac", kSampleRate, 2, static_cast<long>(adtsFrames)));
    }
    for (const auto& f : {file, dir / "out.h264", dir / "out.aac"})
        EXPECT_EQ(DecodeErrors(f), "") << f;

    // Video unit k at 40 k ms, audio frame j at 1024 j / 44.1 ms, in whole ms without drift; the
    // AAC sequence headers before the 1st and 101st frame may put up to 2 ms ahead.
    for (const auto& [stream, count, periodMs] :
         {std::tuple('v', size_t{kFrames}, 40.0),
          std::tuple('a', adtsFrames, 1024e3 / kSampleRate)}) {
        const std::vector<double> t = PacketTimes(file, stream);
        ASSERT_EQ(t.size(), count) << stream;
        for (std::size_t k = 0; k < t.size(); ++k)
            EXPECT_NEAR(t[k] - t[0], periodMs * static_cast<double>(k), 2.0) << stream << k;
    }
}

}  // namespace
}  // namespace rtmp::test
