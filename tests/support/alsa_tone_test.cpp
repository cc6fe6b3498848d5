// The test-tone plugin as the run command uses it: arecord with the configuration the build
// writes next to the module records a clean sine in real time.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>

#include "support/child_process.h"

namespace rtmp::test {
namespace {

TEST(AlsaTone, ArecordRecordsTwoSecondsOfTheToneInAboutTwoSeconds) {
    TempDir dir("alsa_tone_arecord");
    const std::string wav = (dir / "out.wav").string();
    const auto begin = std::chrono::steady_clock::now();
    const ProcessResult r = RunProcess(
        {"env",
         std::string("ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:") + TUTORLANE_ALSA_ASOUNDRC,
         "arecord", "-q", "-D", "tutorlane_tone", "-f", "S16_LE", "-r", "44100", "-c", "2", "-d",
         "2", wav},
        std::chrono::seconds(20));
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    ASSERT_TRUE(r.Succeeded()) << r.exitCode << "\n" << r.out << r.err;
    // Paced by the clock, not handed over at once (a loose bound: the machine is shared).
    EXPECT_GE(took, 1.9);
    EXPECT_LE(took, 4.0);

    const std::string bytes = ReadTextFile(wav);
    constexpr size_t kHeader = 44;
    ASSERT_EQ(bytes.size(), kHeader + 2 * 44100 * 4);
    ASSERT_EQ(bytes.compare(36, 4, "data"), 0);
    // 1000 Hz at the configured peak of 8000, the same on both channels, without jumps (a
    // phase that restarts at every period would jump further than a sine's steepest step).
    const size_t frames = (bytes.size() - kHeader) / 4;
    int crossings = 0, peak = 0, step = 0, last = 0;
    for (size_t i = 0; i < frames; ++i) {
        int16_t s[2];
        std::memcpy(s, &bytes[kHeader + 4 * i], 4);
        ASSERT_EQ(s[0], s[1]) << i;
        crossings += i > 0 && (last < 0) != (s[0] < 0) ? 1 : 0;
        step = i > 0 ? std::max(step, std::abs(s[0] - last)) : 0;
        peak = std::max(peak, std::abs(int{s[0]}));
        last = s[0];
    }
    EXPECT_NEAR(crossings, 2 * 1000 * 2, 45);
    EXPECT_GE(peak, 7920);
    EXPECT_LE(peak, 8000);
    EXPECT_LE(step, static_cast<int>(std::ceil(8000 * 2 * M_PI * 1000 / 44100)) + 2);
}

}  // namespace
}  // namespace rtmp::test
