// Audio devices: the list built from ALSA's hints, and the capture through a real ALSA PCM (a test
// configuration defines a capture PCM with the `file` plugin that hands over a file's bytes).
#include <alsa/asoundlib.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>

#include "audio_test_doubles.h"
#include "capture/audio_device_list.h"
#include "capture/capture_audio.h"
#include "support/child_process.h"

namespace capture {
namespace {

using namespace std::chrono_literals;
using testing::AllOf;
using testing::Field;

constexpr uint32_t kBlock = 4096;
constexpr size_t kFileBlocks = 40;

// The PCM "tonein" (also the default PCM) reads the file; ALSA_CONFIG_PATH is not set around the
// test, each test running in a process of its own.
TEST(AlsaCaptureTest, PcmsDeliverTheFileInWholeBlocksInOrderAndAreListed) {
    rtmp::test::TempDir dir("alsa_capture_test");
    // Bytes that repeat only every 251: no block equals another, nor a shifted one.
    std::vector<uint8_t> file(kFileBlocks * kBlock);
    for (size_t i = 0; i < file.size(); ++i)
        file[i] = static_cast<uint8_t>(i % 251);
    std::ofstream(dir / "file.raw", std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));
    std::ofstream(dir / "asoundrc") << "pcm.tonein {\n  type file\n  slave.pcm \"null\"\n"
                                    << "  file \"/dev/null\"\n  infile \""
                                    << (dir / "file.raw").string() << "\"\n  format \"raw\"\n"
                                    << "  hint { show on description \"File for tests\" }\n}\n"
                                    << "pcm.!default tonein\n";
    setenv("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + (dir / "asoundrc").string()).c_str(),
           1);
    snd_config_update_free_global();

    // The named PCM and the primary entry; after the end of the file the plugin repeats stale
    // data, so only the file's length is compared.
    for (const auto& [identity, blocks] : {std::pair<std::string, size_t>{"tonein", 32}, {"", 8}}) {
        SCOPED_TRACE(identity);
        test::RecordingAudioSink sink;
        CCaptureAudio audio(MakeAlsaCaptureDevice());
        audio.SetFormat(44100, 16, 2);
        audio.SetFinalWait(0ms);
        EXPECT_TRUE(audio.Open(identity));
        audio.SetBlockSize(kBlock);
        ASSERT_EQ(audio.Start(1, &sink), 0);
        EXPECT_TRUE(sink.WaitForBytes(blocks * kBlock, 5s));
        EXPECT_EQ(audio.Start(0, &sink), 0);
        EXPECT_TRUE(audio.Stop());
        const auto calls = sink.Calls();
        ASSERT_GE(calls.size(), blocks);
        for (size_t i = 0; i < calls.size(); ++i) {
            ASSERT_EQ(calls[i].size(), kBlock) << "call " << i;
            if (i < kFileBlocks) {
                ASSERT_TRUE(std::equal(calls[i].begin(), calls[i].end(),
                                       file.begin() + static_cast<long>(i * kBlock)))
                    << "block " << i;
            }
        }
    }

    // An unknown PCM cannot be opened, and a block that is not whole frames is refused.
    for (const auto& [pcm, block] : {std::pair<std::string, uint32_t>{"no_such_pcm", kBlock},
                                     std::pair<std::string, uint32_t>{"tonein", 4098}}) {
        CCaptureAudio audio(MakeAlsaCaptureDevice());
        audio.SetFormat(44100, 16, 2);
        EXPECT_EQ(audio.Open(pcm), pcm == "tonein");
        audio.SetBlockSize(block);
        test::RecordingAudioSink sink;
        EXPECT_EQ(audio.Start(1, &sink), 1) << pcm;
    }

    // The PCM is listed with the description its hint gives.
    EXPECT_THAT(EnumerateCaptureDevices(),
                testing::Contains(AllOf(Field(&AudioDeviceEntry::identity, "tonein"),
                                        Field(&AudioDeviceEntry::description, "File for tests"))));
}

// The primary device comes first, without an identity; then the hints that can capture, in
// order, at most twenty.
TEST(AudioDeviceListTest, KeepsCaptureHintsInOrderUpToTheLimitAndLeavesOutPlaybackAndNull) {
    std::vector<AudioPcmHint> hints = {
        {"null", "Discard all samples (playback) or generate zero samples (capture)", std::nullopt},
        {"default", "Default ALSA Output", std::nullopt},
        {"dmix:CARD=PCH,DEV=0", "HDA Intel PCH\nDirect sample mixing device", "Output"},
        {"dsnoop:CARD=PCH,DEV=0", "HDA Intel PCH, ALC892 Analog\nDirect sample snooping device",
         "Input"},
        {"hw:CARD=PCH,DEV=0", "", std::nullopt},
    };
    std::vector<std::pair<std::string, std::string>> expected = {
        {"", kPrimaryCaptureDescription},
        {"default", "Default ALSA Output"},
        {"dsnoop:CARD=PCH,DEV=0", "HDA Intel PCH, ALC892 Analog - Direct sample snooping device"},
        {"hw:CARD=PCH,DEV=0", "hw:CARD=PCH,DEV=0"}};
    for (int i = 0; i < 25; ++i) {
        hints.push_back({"hw:CARD=" + std::to_string(i), "card " + std::to_string(i), "Input"});
        if (expected.size() <= kMaxAudioDeviceIdentities)
            expected.emplace_back(hints.back().name, hints.back().description);
    }
    std::vector<std::pair<std::string, std::string>> listed;
    for (const AudioDeviceEntry& e : BuildAudioDeviceList(hints))
        listed.emplace_back(e.identity, e.description);
    EXPECT_EQ(listed, expected);
}

}  // namespace
}  // namespace capture
