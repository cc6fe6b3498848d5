#include "capture/audio_device_list.h"

#include <gtest/gtest.h>

namespace capture {
namespace {

// The primary device comes first, without an identity.
TEST(AudioDeviceListTest, KeepsCaptureHintsInOrderAndLeavesOutPlaybackAndNull) {
    const std::vector<AudioPcmHint> hints = {
        {"null", "Discard all samples (playback) or generate zero samples (capture)", std::nullopt},
        {"default", "Default ALSA Output", std::nullopt},
        {"dmix:CARD=PCH,DEV=0", "HDA Intel PCH\nDirect sample mixing device", "Output"},
        {"dsnoop:CARD=PCH,DEV=0", "HDA Intel PCH, ALC892 Analog\nDirect sample snooping device",
         "Input"},
        {"hw:CARD=PCH,DEV=0", "", std::nullopt},
    };
    const std::vector<AudioDeviceEntry> list = BuildAudioDeviceList(hints);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_TRUE(list[0].identity.empty());
    EXPECT_EQ(list[0].description, kPrimaryCaptureDescription);
    EXPECT_EQ(list[1].identity, "default");
    EXPECT_EQ(list[2].identity, "dsnoop:CARD=PCH,DEV=0");
    EXPECT_EQ(list[2].description, "HDA Intel PCH, ALC892 Analog - Direct sample snooping device");
    EXPECT_EQ(list[3].identity, "hw:CARD=PCH,DEV=0");
    EXPECT_EQ(list[3].description, "hw:CARD=PCH,DEV=0");
}

TEST(AudioDeviceListTest, KeepsAtMostTwentyIdentities) {
    std::vector<AudioPcmHint> hints;
    for (int i = 0; i < 25; ++i) {
        hints.push_back({"hw:CARD=" + std::to_string(i), "card " + std::to_string(i), "Input"});
    }
    const std::vector<AudioDeviceEntry> list = BuildAudioDeviceList(hints);
    ASSERT_EQ(list.size(), 1u + kMaxAudioDeviceIdentities);
    EXPECT_EQ(list[1].identity, "hw:CARD=0");
    EXPECT_EQ(list.back().identity, "hw:CARD=19");
}

}  // namespace
}  // namespace capture
