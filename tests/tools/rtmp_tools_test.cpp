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

constexpr int kFps = 25;
constexpr int kFrames = 75;  // 3 s
constexpr int kSampleRate = 44100;

int CountLines(const std::string& text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

class RtmpToolsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(MakeTestH264(dir_ / "in.h264", 320, 240, kFps, kFrames, 25, &error)) << error;
        ASSERT_TRUE(MakeTestAdts(dir_ / "in.aac", kSampleRate, 2, 3.0, &error)) << error;
        const auto aac = media::ReadFileBytes(dir_ / "in.aac");
        ASSERT_TRUE(aac.has_value());
        adtsFrames_ = media::SplitAdtsFrames(*aac).frames.size();
        ASSERT_GT(adtsFrames_, 100u);
        ASSERT_TRUE(server_.Start()) << server_.Error();
    }

    std::vector<std::string> PublishArgs(const std::string& url, const std::string& mode) const {
        return {RTMP_PUBLISH_PATH,
                "--video",
                (dir_ / "in.h264").string(),
                "--audio",
                (dir_ / "in.aac").string(),
                "--fps",
                std::to_string(kFps),
                "--width",
                "320",
                "--height",
                "240",
                "--mode",
                mode,
                url};
    }

    TempDir dir_{"rtmp_tools"};
    NginxRtmpServer server_;
    std::size_t adtsFrames_ = 0;
};

// One publish with a player waiting on the stream: the recording holds every unit and frame at
// its exact time, and the player writes back what was sent.
TEST_F(RtmpToolsTest, PublishedFilesAreRecordedWithExactTimesAndPlayedBack) {
    const std::string url = server_.Url("live", "published");
    ChildProcess play;
    ASSERT_TRUE(
        play.Start({RTMP_PLAY_PATH, "--seconds", "6", "--video", (dir_ / "out.h264").string(),
                    "--audio", (dir_ / "out.aac").string(), url},
                   dir_ / "play.log"));
    ASSERT_TRUE(WaitUntil(
        [&] { return server_.ErrorLog().find("play: name='published'") != std::string::npos; },
        10s))
        << server_.ErrorLog() << ReadTextFile(dir_ / "play.log");
    const ProcessResult r = RunProcess(PublishArgs(url, "record"), 30s);
    ASSERT_TRUE(r.Succeeded()) << "exit " << r.exitCode << "\n" << r.out << r.err;
    const std::string audio = std::to_string(adtsFrames_) + " audio frames";
    EXPECT_NE(r.out.find("sent 75 video units, " + audio), std::string::npos) << r.out;
    ASSERT_EQ(play.Wait(15s), std::optional<int>(0)) << ReadTextFile(dir_ / "play.log");
    const std::string log = ReadTextFile(dir_ / "play.log");
    EXPECT_NE(log.find("received 75 video units"), std::string::npos) << log;
    EXPECT_NE(log.find(audio), std::string::npos) << log;
    server_.Stop();  // closes the recording

    const auto file = server_.RecordingPath("published");
    for (const auto& f : {file, dir_ / "out.h264", dir_ / "out.aac"}) {
        SCOPED_TRACE(f);
        const ProbeResult probe = Probe(f);
        ASSERT_TRUE(probe.ok) << probe.error;
        if (f != dir_ / "out.aac") {
            ASSERT_NE(probe.Video(), nullptr);
            EXPECT_EQ(probe.Video()->codecName, "h264");
            EXPECT_EQ(probe.Video()->width, 320);
            EXPECT_EQ(probe.Video()->height, 240);
            EXPECT_EQ(probe.Video()->frames, kFrames);
        }
        if (f != dir_ / "out.h264") {
            ASSERT_NE(probe.Audio(), nullptr);
            EXPECT_EQ(probe.Audio()->codecName, "aac");
            EXPECT_EQ(probe.Audio()->sampleRate, kSampleRate);
            EXPECT_EQ(probe.Audio()->channels, 2);
            EXPECT_EQ(probe.Audio()->packets, static_cast<long>(adtsFrames_));
        }
        EXPECT_EQ(DecodeErrors(f), "");
    }

    // Video unit k is due at 40 k ms; audio frame j at 1024 j / 44.1 ms. The tool sends whole
    // milliseconds without drift; the AAC sequence header the library puts before the 1st and
    // the 101st audio frame carries 1 ms of its own, so over these 131 frames the recorded
    // times may run up to 2 ms ahead.
    const std::vector<double> v = PacketTimes(file, 'v');
    ASSERT_EQ(v.size(), static_cast<std::size_t>(kFrames));
    for (std::size_t k = 0; k < v.size(); ++k)
        EXPECT_NEAR(v[k] - v[0], 40.0 * static_cast<double>(k), 2.0) << "video " << k;
    const std::vector<double> a = PacketTimes(file, 'a');
    ASSERT_EQ(a.size(), adtsFrames_);
    for (std::size_t j = 0; j < a.size(); ++j)
        EXPECT_NEAR(a[j] - a[0], 1024.0 * 1000.0 * static_cast<double>(j) / kSampleRate, 2.0)
            << "audio " << j;
}

// A stream another client publishes is refused with one line; a server going away mid-stream
// ends the publish with "connection lost".
TEST_F(RtmpToolsTest, ATakenStreamIsRefusedAndALostServerEndsThePublish) {
    void* holder = RTMP_Create();
    ASSERT_EQ(RTMP_Connect(holder, server_.Url("live", "busy").c_str()), 1);
    ASSERT_EQ(RTMP_Publish(holder, "live"), 1);
    const ProcessResult r = RunProcess(PublishArgs(server_.Url("live", "busy"), "live"), 30s);
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_EQ(CountLines(r.err), 1) << r.err;
    EXPECT_NE(r.err.find("refused to publish"), std::string::npos) << r.err;
    RTMP_Release(holder);

    ChildProcess pub;
    const auto log = dir_ / "pub.log";
    ASSERT_TRUE(pub.Start(PublishArgs(server_.Url("live", "dropped"), "live"), log));
    // The first progress line: connected, publishing and sending.
    ASSERT_TRUE(
        WaitUntil([&] { return ReadTextFile(log).find(" s  video ") != std::string::npos; }, 10s))
        << ReadTextFile(log);
    server_.Stop();
    const std::optional<int> code = pub.Wait(10s);
    ASSERT_TRUE(code.has_value()) << "rtmp_publish kept running without its server";
    EXPECT_NE(*code, 0);
    EXPECT_NE(ReadTextFile(log).find("connection lost"), std::string::npos) << ReadTextFile(log);
}

TEST_F(RtmpToolsTest, FailuresGiveOneLineAndNonZeroStatus) {
    const std::string unreachable =
        "rtmp://127.0.0.1:" + std::to_string(PickFreeLoopbackPort()) + "/live/nobody";
    const struct {
        std::vector<std::string> argv;
        int exitCode;
        const char* expect;
    } cases[] = {
        {PublishArgs("http://127.0.0.1/live/x", "live"), 1, "invalid URL"},
        {PublishArgs("rtmp://127.0.0.1", "live"), 1, "invalid URL"},
        {PublishArgs(unreachable, "live"), 1, "cannot connect"},
        {PublishArgs(server_.Url("nosuchapp", "x"), "live"), 1, "cannot connect"},
        {{RTMP_PUBLISH_PATH, server_.Url("live", "x")}, 2, "nothing to send"},
        {{RTMP_PLAY_PATH, "--seconds", "1", "rtmp://127.0.0.1:1"}, 1, "invalid URL"},
        {{RTMP_PLAY_PATH, "--seconds", "1", unreachable}, 1, "cannot connect"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = RunProcess(c.argv, 30s);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.argv.back() << r.err;
        EXPECT_EQ(CountLines(r.err) == 1, c.exitCode == 1) << r.err;  // 2: with the usage
        EXPECT_NE(r.err.find(c.expect), std::string::npos) << r.err;
    }
}

}  // namespace
}  // namespace rtmp::test
