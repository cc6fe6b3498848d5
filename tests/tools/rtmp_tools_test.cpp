// rtmp_publish and rtmp_play against a private nginx.
#include <gtest/gtest.h>

#include <algorithm>

#include "media_files.h"
#include "stream/rtmp.h"
#include "support/child_process.h"
#include "support/media_tools.h"
#include "support/nginx_rtmp_server.h"
#include "support/tls_front.h"

namespace rtmp::test {
namespace {

using namespace std::chrono_literals;

constexpr int kFrames = 75;  // 3 s at 25 fps
constexpr int kSampleRate = 44100;

// A test picture and tone of 3 s as the tools' input files, and the tools' command lines.
class RtmpToolsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(MakeTestH264(h264_, 320, 240, 25, kFrames, 25, &error)) << error;
        ASSERT_TRUE(MakeTestAdts(aac_, kSampleRate, 2, 3.0, &error)) << error;
        adtsFrames_ = media::SplitAdtsFrames(media::ReadFileBytes(aac_).value()).frames.size();
        ASSERT_GT(adtsFrames_, 100u);
    }

    std::vector<std::string> Publish(const std::string& url, const std::string& mode,
                                     const std::string& caFile = {}) const {
        std::vector<std::string> argv{
            RTMP_PUBLISH_PATH, "--video", h264_,      "--audio", aac_,     "--fps", "25",
            "--width",         "320",     "--height", "240",     "--mode", mode};
        if (!caFile.empty())
            argv.insert(argv.end(), {"--ca-file", caFile});
        argv.push_back(url);
        return argv;
    }

    // A player waiting on `url`, then a recorded publish to it: the recording (of `stream`) and
    // the played files hold every unit and frame at its time.
    void PublishRecordedAndPlayedBack(NginxRtmpServer& server, const std::string& url,
                                      const std::string& stream, const std::string& caFile = {}) {
        std::vector<std::string> player{RTMP_PLAY_PATH,  "--seconds",       "6",
                                        "--video",       dir_ / "out.h264", "--audio",
                                        dir_ / "out.aac"};
        if (!caFile.empty())
            player.insert(player.end(), {"--ca-file", caFile});
        player.push_back(url);
        ChildProcess play;
        ASSERT_TRUE(play.Start(player, dir_ / "play.log"));
        ASSERT_TRUE(WaitUntil(
            [&] {
                return server.ErrorLog().find("play: name='" + stream + "'") != std::string::npos;
            },
            10s))
            << server.ErrorLog() << ReadTextFile(dir_ / "play.log");
        const ProcessResult r = RunProcess(Publish(url, "record", caFile), 30s);
        ASSERT_TRUE(r.Succeeded()) << "exit " << r.exitCode << "\n" << r.out << r.err;
        ASSERT_EQ(play.Wait(15s), std::optional<int>(0)) << ReadTextFile(dir_ / "play.log");
        // Each tool's closing summary counts what went over the wire.
        const std::string audio = std::to_string(adtsFrames_) + " audio frames";
        EXPECT_NE(r.out.find("sent 75 video units, " + audio), std::string::npos) << r.out;
        const std::string played = ReadTextFile(dir_ / "play.log");
        EXPECT_NE(played.find("received 75 video units"), std::string::npos) << played;
        EXPECT_NE(played.find(audio), std::string::npos) << played;
        server.Stop();  // closes the recording

        const auto file = server.RecordingPath(stream);
        const ProbeResult recorded = Probe(file), video = Probe(dir_ / "out.h264"),
                          sound = Probe(dir_ / "out.aac");
        for (const ProbedStream* v : {recorded.Video(), video.Video()}) {
            ASSERT_NE(v, nullptr);
            EXPECT_EQ(std::tie(v->codecName, v->width, v->height, v->frames),
                      std::tuple("h264", 320, 240, long{kFrames}));
        }
        for (const ProbedStream* a : {recorded.Audio(), sound.Audio()}) {
            ASSERT_NE(a, nullptr);
            EXPECT_EQ(std::tie(a->codecName, a->sampleRate, a->channels, a->packets),
                      std::tuple("aac", kSampleRate, 2, static_cast<long>(adtsFrames_)));
        }
        for (const auto& f : {file, dir_ / "out.h264", dir_ / "out.aac"})
            EXPECT_EQ(DecodeErrors(f), "") << f;

        // Video unit k at 40 k ms, audio frame j at 1024 j / 44.1 ms, in whole ms without drift;
        // the AAC sequence headers before the 1st and 101st frame may put up to 2 ms ahead.
        for (const auto& [kind, count, periodMs] :
             {std::tuple('v', size_t{kFrames}, 40.0),
              std::tuple('a', adtsFrames_, 1024e3 / kSampleRate)}) {
            const std::vector<double> t = PacketTimes(file, kind);
            ASSERT_EQ(t.size(), count) << kind;
            for (std::size_t k = 0; k < t.size(); ++k)
                EXPECT_NEAR(t[k] - t[0], periodMs * static_cast<double>(k), 2.0) << kind << k;
        }
    }

    const TempDir dir_{"rtmp_tools"};
    const std::string h264_ = (dir_ / "in.h264").string(), aac_ = (dir_ / "in.aac").string();
    size_t adtsFrames_ = 0;
};

// Failures give one line and a non-zero status; a busy stream is refused; a lost server ends the
// publish. Then a publish with a player waiting.
TEST_F(RtmpToolsTest, FailuresRefusalsALostServerAndAPublishRecordedAndPlayedBack) {
    NginxRtmpServer server;
    ASSERT_TRUE(server.Start()) << server.Error();

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
        {Publish("http://127.0.0.1/live/x", "live"), 1, "invalid URL"},
        {Publish("rtmp://127.0.0.1", "live"), 1, "invalid URL"},
        {Publish(unreachable, "live"), 1, "cannot connect"},
        {Publish(server.Url("nosuchapp", "x"), "live"), 1, "cannot connect"},
        {Publish(server.Url("live", "busy"), "live"), 1, "refused to publish"},
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
    const auto log = dir_ / "dropped.log";
    ASSERT_TRUE(dropped.Start(Publish(server.Url("live", "dropped"), "live"), log));
    // The first progress line: connected, publishing and sending.
    ASSERT_TRUE(
        WaitUntil([&] { return ReadTextFile(log).find(" s  video ") != std::string::npos; }, 10s))
        << ReadTextFile(log);
    server.Stop();
    EXPECT_NE(dropped.Wait(10s).value_or(0), 0) << "rtmp_publish ended well or kept running";
    EXPECT_NE(ReadTextFile(log).find("connection lost"), std::string::npos) << ReadTextFile(log);

    ASSERT_TRUE(server.Start()) << server.Error();
    PublishRecordedAndPlayedBack(server, server.Url("live", "published"), "published");
}

// rtmps:// through nginx's TLS front: a certificate from no trusted authority, for another host,
// expired or not valid yet, or a CA file that cannot be read, each refused in its own words
// before a byte of RTMP leaves; then a publish and a player over TLS.
TEST_F(RtmpToolsTest, OverTlsEveryFailedCertificateCheckIsNamedAndAGoodOneCarriesTheStream) {
    NginxRtmpServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    TlsFront front;
    ASSERT_TRUE(front.Start(server.Port())) << front.Error();
    const std::string ca = front.Certificates().caFile.string();
    const struct {
        CertKind kind;
        const char* host;
        std::string caFile;
        const char* expect;
    } cases[] = {
        {CertKind::kGood, "localhost", "", "the certificate of localhost is not from a trusted"},
        {CertKind::kGood, "127.0.0.1", front.Certificates().otherCaFile.string(),
         "the certificate of 127.0.0.1 is not from a trusted authority"},
        {CertKind::kWrongHost, "localhost", ca, "the certificate is not for localhost"},
        {CertKind::kWrongHost, "127.0.0.1", ca, "the certificate is not for 127.0.0.1"},
        {CertKind::kAddressOnly, "localhost", ca, "the certificate is not for localhost"},
        {CertKind::kExpired, "localhost", ca, "the certificate of localhost has expired"},
        {CertKind::kNotYetValid, "127.0.0.1", ca, "the certificate of 127.0.0.1 is not valid yet"},
        {CertKind::kGood, "localhost", (dir_ / "missing.pem").string(),
         "missing.pem cannot be used"},
    };
    for (const auto& c : cases) {
        const std::string url = front.Url(c.kind, c.host, "live", "refused");
        const ProcessResult r = RunProcess(Publish(url, "live", c.caFile), 30s);
        EXPECT_EQ(r.exitCode, 1) << url << r.err;
        EXPECT_NE(r.err.find(c.expect), std::string::npos) << url << "\n" << r.err;
    }
    // Not one RTMP connection reached the server.
    EXPECT_EQ(server.ErrorLog().find("connect: app="), std::string::npos) << server.ErrorLog();
    // A certificate for the address only serves the address, which asks for no server name.
    void* h = RTMP_Create();
    EXPECT_EQ(RTMP_SetTlsCaFile(h, ca.c_str()), 1);
    EXPECT_EQ(RTMP_Connect(h, front.Url(CertKind::kAddressOnly, "127.0.0.1", "live", "x").c_str()),
              1);
    EXPECT_EQ(RTMP_GetLastError(h, nullptr, 0), RTMP_ERROR_NONE);
    RTMP_Release(h);
    const auto served = [&](CertKind kind, const char* name) {
        return "\n" + std::to_string(front.Port(kind)) + " " + name + "\n";
    };
    EXPECT_TRUE(WaitUntil(
        [&] {
            return ("\n" + front.ServerNameLog()).find(served(CertKind::kAddressOnly, "-")) !=
                   std::string::npos;
        },
        5s))
        << front.ServerNameLog();

    PublishRecordedAndPlayedBack(server, front.Url(CertKind::kGood, "localhost", "live", "secure"),
                                 "secure", ca);
    EXPECT_NE(("\n" + front.ServerNameLog()).find(served(CertKind::kGood, "localhost")),
              std::string::npos)
        << front.ServerNameLog();
}

}  // namespace
}  // namespace rtmp::test
