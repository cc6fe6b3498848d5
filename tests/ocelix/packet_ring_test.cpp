#include "packet_ring.h"

#include <gtest/gtest.h>

#include <vector>

namespace ocelix {
namespace {

TEST(PacketRing, KeepsOrderAndRefusesTheHundredAndFirst) {
    PacketRing ring;
    std::vector<uint8_t> p(200);
    for (int i = 0; i < 100; ++i) {
        p[0] = static_cast<uint8_t>(i);
        ASSERT_EQ(ring.Push(p.data(), 10 + i, i == 0), 0);
    }
    EXPECT_TRUE(ring.Full());
    EXPECT_EQ(ring.Count(), 100);
    p.resize(500);
    EXPECT_EQ(ring.Push(p.data(), 500, true), -1);
    EXPECT_TRUE(ring.Full());
    const uint8_t* out = nullptr;
    bool key = false;
    EXPECT_EQ(ring.Pop(&out, &key), 10);
    EXPECT_EQ(out[0], 0);
    EXPECT_TRUE(key);
    EXPECT_FALSE(ring.Full());
    EXPECT_EQ(ring.Pop(&out, &key), 11);
    EXPECT_EQ(out[0], 1);
    EXPECT_FALSE(key);
    EXPECT_EQ(ring.Count(), 98);
}

TEST(PacketRing, EmptyRingAndWrapAround) {
    PacketRing ring(3);
    const uint8_t* out = nullptr;
    EXPECT_EQ(ring.Pop(&out, nullptr), -1);
    const uint8_t a[] = {1, 2, 3, 4};
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(ring.Push(a, 4, false), 0);
        ASSERT_EQ(ring.Push(a, 2, false), 0);  // shorter packet reuses the slot
        EXPECT_EQ(ring.Pop(&out, nullptr), 4);
        EXPECT_EQ(ring.Pop(&out, nullptr), 2);
        EXPECT_TRUE(ring.Empty());
    }
}

TEST(PacketRing, KeyFrameDetection) {
    const std::vector<uint8_t> idr = {0, 0, 0, 1, 0x67, 1, 0, 0, 0, 1, 0x68, 2, 0, 0, 1, 0x65, 3};
    const std::vector<uint8_t> plain = {0, 0, 0, 1, 0x41, 0x65, 0x65};
    EXPECT_TRUE(IsKeyFrame(idr.data(), static_cast<int>(idr.size())));
    EXPECT_FALSE(IsKeyFrame(plain.data(), static_cast<int>(plain.size())));
    EXPECT_FALSE(IsKeyFrame(idr.data(), 3));
}

TEST(VideoLossGuard, DropsPlainPacketsUntilAKeyFrameAndAsksOnce) {
    VideoLossGuard g;
    EXPECT_TRUE(g.Admit(false));
    EXPECT_FALSE(g.TakeKeyRequest());
    g.Lost();
    EXPECT_FALSE(g.Admit(false));
    EXPECT_TRUE(g.TakeKeyRequest());
    EXPECT_FALSE(g.TakeKeyRequest());
    EXPECT_FALSE(g.Admit(false));
    EXPECT_TRUE(g.Admit(true));
    EXPECT_TRUE(g.Admit(false));
}

}  // namespace
}  // namespace ocelix
