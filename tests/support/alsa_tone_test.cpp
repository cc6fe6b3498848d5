// The real-time test tone through plain ALSA: pacing, the sine itself, poll, overrun, arecord.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/alsa_tone_device.h"
#include "support/child_process.h"

namespace rtmp::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct PcmCloser {
    void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};
using Pcm = std::unique_ptr<snd_pcm_t, PcmCloser>;

struct HwParamsDeleter {
    void operator()(snd_pcm_hw_params_t* params) const { snd_pcm_hw_params_free(params); }
};
struct SwParamsDeleter {
    void operator()(snd_pcm_sw_params_t* params) const { snd_pcm_sw_params_free(params); }
};

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

Pcm OpenCapture(const std::string& name, int mode = 0) {
    snd_pcm_t* raw = nullptr;
    const int err = snd_pcm_open(&raw, name.c_str(), SND_PCM_STREAM_CAPTURE, mode);
    EXPECT_GE(err, 0) << snd_strerror(err);
    return Pcm(err < 0 ? nullptr : raw);
}

// Interleaved S16_LE at `rate` with `channels`, periods of `periodFrames`, `periods` of them.
void Configure(snd_pcm_t* pcm, unsigned rate, unsigned channels, snd_pcm_uframes_t periodFrames,
               unsigned periods) {
    snd_pcm_hw_params_t* rawHw = nullptr;
    ASSERT_GE(snd_pcm_hw_params_malloc(&rawHw), 0);
    std::unique_ptr<snd_pcm_hw_params_t, HwParamsDeleter> hw(rawHw);
    ASSERT_GE(snd_pcm_hw_params_any(pcm, hw.get()), 0);
    ASSERT_GE(snd_pcm_hw_params_set_access(pcm, hw.get(), SND_PCM_ACCESS_RW_INTERLEAVED), 0);
    ASSERT_GE(snd_pcm_hw_params_set_format(pcm, hw.get(), SND_PCM_FORMAT_S16_LE), 0);
    ASSERT_GE(snd_pcm_hw_params_set_channels(pcm, hw.get(), channels), 0);
    ASSERT_GE(snd_pcm_hw_params_set_rate(pcm, hw.get(), rate, 0), 0);
    ASSERT_GE(snd_pcm_hw_params_set_period_size(pcm, hw.get(), periodFrames, 0), 0);
    ASSERT_GE(snd_pcm_hw_params_set_periods(pcm, hw.get(), periods, 0), 0);
    ASSERT_GE(snd_pcm_hw_params(pcm, hw.get()), 0);
    snd_pcm_uframes_t buffer = 0;
    ASSERT_GE(snd_pcm_hw_params_get_buffer_size(hw.get(), &buffer), 0);
    EXPECT_EQ(buffer, periodFrames * periods);
}

void SetAvailMin(snd_pcm_t* pcm, snd_pcm_uframes_t frames) {
    snd_pcm_sw_params_t* rawSw = nullptr;
    ASSERT_GE(snd_pcm_sw_params_malloc(&rawSw), 0);
    std::unique_ptr<snd_pcm_sw_params_t, SwParamsDeleter> sw(rawSw);
    ASSERT_GE(snd_pcm_sw_params_current(pcm, sw.get()), 0);
    ASSERT_GE(snd_pcm_sw_params_set_avail_min(pcm, sw.get(), frames), 0);
    ASSERT_GE(snd_pcm_sw_params(pcm, sw.get()), 0);
}

struct Capture {
    std::vector<int16_t> samples;
    size_t frames = 0;
    double seconds = 0;  // wall time from before the first read to after the last
    int reads = 0;
};

// Blocking reads of one period each until `seconds` of wall time have passed.
Capture ReadFor(snd_pcm_t* pcm, unsigned channels, snd_pcm_uframes_t periodFrames, double seconds) {
    Capture capture;
    std::vector<int16_t> period(periodFrames * channels);
    const Clock::time_point begin = Clock::now();
    while (Seconds(Clock::now() - begin) < seconds) {
        const snd_pcm_sframes_t got = snd_pcm_readi(pcm, period.data(), periodFrames);
        if (got < 0) {
            ADD_FAILURE() << "readi: " << snd_strerror(static_cast<int>(got));
            break;
        }
        capture.samples.insert(capture.samples.end(), period.begin(),
                               period.begin() + got * static_cast<long>(channels));
        capture.frames += static_cast<size_t>(got);
        ++capture.reads;
    }
    capture.seconds = Seconds(Clock::now() - begin);
    return capture;
}

// A sine of `frequencyHz` with the given peak, identical on every channel, without jumps.
void ExpectSine(const ToneStats& stats, double frequencyHz, unsigned rate, int amplitude) {
    const double duration = static_cast<double>(stats.frames) / rate;
    const double expectedCrossings = 2.0 * frequencyHz * duration;
    EXPECT_NEAR(static_cast<double>(stats.zeroCrossings), expectedCrossings,
                expectedCrossings * 0.01 + 2);
    EXPECT_LE(stats.peak, amplitude);
    EXPECT_GE(stats.peak, amplitude * 99 / 100);
    EXPECT_TRUE(stats.channelsEqual);
    // A sine changes by at most amplitude * 2 pi f / rate between samples; a phase that
    // restarts at every read would jump further.
    const double steepest = amplitude * 2.0 * M_PI * frequencyHz / rate;
    EXPECT_LE(stats.largestStep, static_cast<int>(std::ceil(steepest)) + 2);
}

TEST(AlsaTone, BlockingReadsDeliverASineAtRealTimePace) {
    AlsaToneDevice tone(1000, 8000);
    ASSERT_TRUE(tone.Ok()) << tone.Error();
    Pcm pcm = OpenCapture(tone.PcmName());
    ASSERT_NE(pcm, nullptr);
    Configure(pcm.get(), 44100, 2, 1024, 16);
    const Capture capture = ReadFor(pcm.get(), 2, 1024, 2.0);

    const double deliveredSeconds = static_cast<double>(capture.frames) / 44100.0;
    EXPECT_NEAR(deliveredSeconds, capture.seconds, capture.seconds * 0.10)
        << capture.frames << " frames in " << capture.seconds << " s";
    EXPECT_GE(capture.reads, 80);  // about 86 periods of 23 ms in 2 s
    RecordProperty("frames", static_cast<int>(capture.frames));
    RecordProperty("milliseconds", static_cast<int>(capture.seconds * 1000));
    ExpectSine(AnalyzeTone(capture.samples, 2), 1000, 44100, 8000);
}

TEST(AlsaTone, MonoAtALowRateCarriesTheConfiguredFrequency) {
    AlsaToneDevice tone(440, 12000);
    ASSERT_TRUE(tone.Ok()) << tone.Error();
    Pcm pcm = OpenCapture(tone.PcmName());
    ASSERT_NE(pcm, nullptr);
    Configure(pcm.get(), 8000, 1, 256, 8);
    const Capture capture = ReadFor(pcm.get(), 1, 256, 1.0);
    EXPECT_NEAR(static_cast<double>(capture.frames) / 8000.0, capture.seconds,
                capture.seconds * 0.10);
    ExpectSine(AnalyzeTone(capture.samples, 1), 440, 8000, 12000);
}

TEST(AlsaTone, PollBecomesReadableWhenAvailMinFramesWait) {
    AlsaToneDevice tone;
    ASSERT_TRUE(tone.Ok()) << tone.Error();
    Pcm pcm = OpenCapture(tone.PcmName(), SND_PCM_NONBLOCK);
    ASSERT_NE(pcm, nullptr);
    Configure(pcm.get(), 44100, 2, 1024, 16);
    SetAvailMin(pcm.get(), 4410);  // 100 ms
    ASSERT_GE(snd_pcm_start(pcm.get()), 0);
    const Clock::time_point started = Clock::now();

    const int count = snd_pcm_poll_descriptors_count(pcm.get());
    ASSERT_GE(count, 1);
    std::vector<pollfd> fds(static_cast<size_t>(count));
    ASSERT_EQ(snd_pcm_poll_descriptors(pcm.get(), fds.data(), static_cast<unsigned>(count)), count);
    // Far fewer than avail_min frames wait yet, and the descriptor says so.
    EXPECT_LT(snd_pcm_avail_update(pcm.get()), 441);
    EXPECT_EQ(::poll(fds.data(), fds.size(), 0), 0);
    std::vector<int16_t> buffer(4410 * 2);

    unsigned short revents = 0;
    int waits = 0;
    while ((revents & POLLIN) == 0 && waits < 10) {
        ASSERT_GE(::poll(fds.data(), fds.size(), 2000), 0);
        ASSERT_GE(snd_pcm_poll_descriptors_revents(pcm.get(), fds.data(),
                                                   static_cast<unsigned>(count), &revents),
                  0);
        ++waits;
    }
    const double waited = Seconds(Clock::now() - started);
    ASSERT_NE(revents & POLLIN, 0);
    EXPECT_GE(waited, 0.095);
    EXPECT_LT(waited, 0.300);
    const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm.get());
    EXPECT_GE(avail, 4410);
    EXPECT_LT(avail, 44100 * 3 / 10);
    EXPECT_EQ(snd_pcm_readi(pcm.get(), buffer.data(), 4410), 4410);

    // snd_pcm_wait ends after the next 100 ms.
    const Clock::time_point before = Clock::now();
    EXPECT_EQ(snd_pcm_wait(pcm.get(), 2000), 1);
    const double next = Seconds(Clock::now() - before);
    EXPECT_LT(next, 0.200);
    EXPECT_GE(snd_pcm_avail_update(pcm.get()), 4410);
}

TEST(AlsaTone, AReaderThatFallsAWholeBufferBehindSeesAnOverrunAndRecovers) {
    AlsaToneDevice tone;
    ASSERT_TRUE(tone.Ok()) << tone.Error();
    Pcm pcm = OpenCapture(tone.PcmName(), SND_PCM_NONBLOCK);
    ASSERT_NE(pcm, nullptr);
    Configure(pcm.get(), 44100, 2, 1024, 4);  // 93 ms of buffer
    ASSERT_GE(snd_pcm_start(pcm.get()), 0);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(snd_pcm_avail_update(pcm.get()), -EPIPE);
    EXPECT_EQ(snd_pcm_state(pcm.get()), SND_PCM_STATE_XRUN);

    ASSERT_GE(snd_pcm_recover(pcm.get(), -EPIPE, 1), 0);
    ASSERT_GE(snd_pcm_nonblock(pcm.get(), 0), 0);
    const Capture capture = ReadFor(pcm.get(), 2, 1024, 0.5);
    EXPECT_NEAR(static_cast<double>(capture.frames) / 44100.0, capture.seconds,
                capture.seconds * 0.10);
    EXPECT_EQ(snd_pcm_state(pcm.get()), SND_PCM_STATE_RUNNING);
}

TEST(AlsaTone, ABadSettingOrPlaybackIsRefused) {
    {
        AlsaToneDevice tone(-5, 8000);
        ASSERT_TRUE(tone.Ok()) << tone.Error();
        snd_pcm_t* raw = nullptr;
        EXPECT_EQ(snd_pcm_open(&raw, tone.PcmName().c_str(), SND_PCM_STREAM_CAPTURE, 0), -EINVAL);
    }
    {
        AlsaToneDevice tone(1000, 40000);
        ASSERT_TRUE(tone.Ok()) << tone.Error();
        snd_pcm_t* raw = nullptr;
        EXPECT_EQ(snd_pcm_open(&raw, tone.PcmName().c_str(), SND_PCM_STREAM_CAPTURE, 0), -EINVAL);
    }
    AlsaToneDevice tone;
    ASSERT_TRUE(tone.Ok()) << tone.Error();
    snd_pcm_t* raw = nullptr;
    EXPECT_EQ(snd_pcm_open(&raw, tone.PcmName().c_str(), SND_PCM_STREAM_PLAYBACK, 0), -EINVAL);
    // 24-bit samples and three channels are not offered.
    Pcm pcm = OpenCapture(tone.PcmName());
    ASSERT_NE(pcm, nullptr);
    snd_pcm_hw_params_t* rawHw = nullptr;
    ASSERT_GE(snd_pcm_hw_params_malloc(&rawHw), 0);
    std::unique_ptr<snd_pcm_hw_params_t, HwParamsDeleter> hw(rawHw);
    ASSERT_GE(snd_pcm_hw_params_any(pcm.get(), hw.get()), 0);
    EXPECT_LT(snd_pcm_hw_params_test_format(pcm.get(), hw.get(), SND_PCM_FORMAT_S24_LE), 0);
    EXPECT_LT(snd_pcm_hw_params_test_channels(pcm.get(), hw.get(), 3), 0);
    EXPECT_EQ(snd_pcm_hw_params_test_channels(pcm.get(), hw.get(), 2), 0);
}

TEST(AlsaTone, ArecordRecordsTwoSecondsInAboutTwoSeconds) {
    AlsaToneDevice tone(1000, 8000);
    ASSERT_TRUE(tone.Ok()) << tone.Error();
    TempDir dir("alsa_tone_arecord");
    const std::filesystem::path wav = dir / "out.wav";
    const Clock::time_point begin = Clock::now();
    const ProcessResult result = RunProcess({"arecord", "-q", "-D", tone.PcmName(), "-f", "S16_LE",
                                             "-r", "44100", "-c", "2", "-d", "2", wav.string()},
                                            20s);
    const double took = Seconds(Clock::now() - begin);
    if (!result.started) {
        GTEST_SKIP() << "arecord is not installed: " << result.err;
    }
    ASSERT_TRUE(result.Succeeded()) << result.exitCode << "\n" << result.out << result.err;
    RecordProperty("arecord_milliseconds", static_cast<int>(took * 1000));
    EXPECT_GE(took, 1.9);
    EXPECT_LE(took, 2.8);

    const std::string bytes = ReadTextFile(wav);
    constexpr size_t kHeader = 44;
    ASSERT_EQ(bytes.size(), kHeader + 2 * 44100 * 4);
    ASSERT_EQ(bytes.compare(0, 4, "RIFF"), 0);
    ASSERT_EQ(bytes.compare(36, 4, "data"), 0);
    const std::span<const uint8_t> data(reinterpret_cast<const uint8_t*>(bytes.data()) + kHeader,
                                        bytes.size() - kHeader);
    ExpectSine(AnalyzeToneBytes(data, 2), 1000, 44100, 8000);
}

}  // namespace
}  // namespace rtmp::test
