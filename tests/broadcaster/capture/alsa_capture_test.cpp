// The audio capture through a real ALSA PCM: a test configuration defines a capture PCM with the
// `file` plugin that hands over the bytes of a generated tone file.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "audio_test_doubles.h"
#include "capture/audio_device_list.h"
#include "capture/capture_audio.h"

namespace capture {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kBlock = 4096;
constexpr size_t kToneBlocks = 40;

// 440 Hz on the left channel, a counting ramp on the right, 16-bit little-endian at 44100 Hz.
std::vector<uint8_t> MakeTone(size_t bytes) {
    std::vector<uint8_t> tone(bytes);
    for (size_t frame = 0; frame * 4 + 3 < bytes; ++frame) {
        const auto left = static_cast<int16_t>(std::lround(
            12000.0 * std::sin(2.0 * M_PI * 440.0 * static_cast<double>(frame) / 44100.0)));
        const auto right = static_cast<uint16_t>(frame);
        const auto leftBits = static_cast<uint16_t>(left);
        tone[frame * 4 + 0] = static_cast<uint8_t>(leftBits & 0xFF);
        tone[frame * 4 + 1] = static_cast<uint8_t>(leftBits >> 8);
        tone[frame * 4 + 2] = static_cast<uint8_t>(right & 0xFF);
        tone[frame * 4 + 3] = static_cast<uint8_t>(right >> 8);
    }
    return tone;
}

class AlsaCaptureTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = std::filesystem::temp_directory_path() /
               ("alsa_capture_test_" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
        tone_ = MakeTone(kToneBlocks * kBlock);
        const std::filesystem::path tonePath = dir_ / "tone.raw";
        {
            std::ofstream out(tonePath, std::ios::binary);
            out.write(reinterpret_cast<const char*>(tone_.data()),
                      static_cast<std::streamsize>(tone_.size()));
        }
        const std::filesystem::path conf = dir_ / "asoundrc";
        {
            std::ofstream out(conf);
            out << "pcm.tonein {\n"
                << "  type file\n"
                << "  slave.pcm \"null\"\n"
                << "  file \"/dev/null\"\n"
                << "  infile \"" << tonePath.string() << "\"\n"
                << "  format \"raw\"\n"
                << "  hint { show on description \"Tone file for tests\" }\n"
                << "}\n"
                << "pcm.!default tonein\n";
        }
        const char* previous = std::getenv("ALSA_CONFIG_PATH");
        previousPath_ = previous == nullptr ? std::nullopt : std::optional<std::string>(previous);
        setenv("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + conf.string()).c_str(), 1);
        snd_config_update_free_global();
    }

    static void TearDownTestSuite() {
        if (previousPath_.has_value()) {
            setenv("ALSA_CONFIG_PATH", previousPath_->c_str(), 1);
        } else {
            unsetenv("ALSA_CONFIG_PATH");
        }
        snd_config_update_free_global();
        std::filesystem::remove_all(dir_);
    }

    // Captures from the device chosen by identity until at least `blocks` blocks arrived, then
    // ends the capture; every call the sink saw.
    std::vector<std::vector<uint8_t>> CaptureBlocks(const std::string& identity, size_t blocks) {
        test::RecordingAudioSink sink;
        CCaptureAudio audio(MakeAlsaCaptureDevice());
        audio.SetFormat(44100, 16, 2);
        audio.SetFinalWait(0ms);
        EXPECT_TRUE(audio.Open(identity));
        audio.SetBlockSize(kBlock);
        EXPECT_EQ(audio.Start(1, &sink), 0);
        EXPECT_TRUE(sink.WaitForBytes(blocks * kBlock, 5s));
        EXPECT_EQ(audio.Start(0, &sink), 0);
        EXPECT_TRUE(audio.Stop());
        return sink.Calls();
    }

    static void ExpectToneBlocks(const std::vector<std::vector<uint8_t>>& calls, size_t atLeast) {
        ASSERT_GE(calls.size(), atLeast);
        for (size_t i = 0; i < calls.size(); ++i) {
            ASSERT_EQ(calls[i].size(), kBlock) << "call " << i;
        }
        // After the end of the file the plugin repeats stale data; compare the file's length.
        for (size_t i = 0; i < std::min(calls.size(), kToneBlocks); ++i) {
            const std::vector<uint8_t> expected(
                tone_.begin() + static_cast<long>(i * kBlock),
                tone_.begin() + static_cast<long>((i + 1) * kBlock));
            ASSERT_EQ(calls[i], expected) << "block " << i;
        }
    }

    static inline std::filesystem::path dir_;
    static inline std::vector<uint8_t> tone_;
    static inline std::optional<std::string> previousPath_;
};

// The named PCM and the primary entry (the default PCM, here the same file).
TEST_F(AlsaCaptureTest, NamedAndDefaultPcmDeliverTheFileInWholeBlocksInOrder) {
    ExpectToneBlocks(CaptureBlocks("tonein", 32), 32);
    ExpectToneBlocks(CaptureBlocks(std::string(), 8), 8);
}

// An unknown PCM cannot be opened, and a block that is not whole frames is refused.
TEST_F(AlsaCaptureTest, UnknownPcmOrBrokenBlockSizeRefuseTheStart) {
    for (const auto& [pcm, block] :
         {std::pair<std::string, uint32_t>{"no_such_pcm_for_tests", kBlock},
          std::pair<std::string, uint32_t>{"tonein", 4098}}) {
        CCaptureAudio audio(MakeAlsaCaptureDevice());
        audio.SetFormat(44100, 16, 2);
        EXPECT_EQ(audio.Open(pcm), pcm == "tonein");
        audio.SetBlockSize(block);
        test::RecordingAudioSink sink;
        EXPECT_EQ(audio.Start(1, &sink), 1) << pcm;
    }
}

TEST_F(AlsaCaptureTest, EnumerationListsThePrimaryDeviceThenTheTestPcm) {
    const std::vector<AudioDeviceEntry> list = EnumerateCaptureDevices();
    ASSERT_FALSE(list.empty());
    EXPECT_TRUE(list[0].identity.empty());
    bool found = false;
    for (size_t i = 1; i < list.size(); ++i) {
        EXPECT_FALSE(list[i].identity.empty());
        if (list[i].identity == "tonein") {
            found = true;
            EXPECT_EQ(list[i].description, "Tone file for tests");
        }
    }
    EXPECT_TRUE(found);
    EXPECT_LE(list.size(), 1u + kMaxAudioDeviceIdentities);
}

}  // namespace
}  // namespace capture
