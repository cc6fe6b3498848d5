#include "capture/audio_looping_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

namespace capture {
namespace {

TEST(AudioLoopingBufferTest, RefusesBlockSizesWithoutABuffer) {
    AudioLoopingBuffer ring;
    EXPECT_FALSE(ring.Reset(0));
    EXPECT_FALSE(ring.Reset(std::numeric_limits<uint32_t>::max() / 16 + 1));
    EXPECT_EQ(ring.BufferBytes(), 0u);
    EXPECT_TRUE(ring.WritableRegion().empty());
    EXPECT_EQ(ring.TakeWholeBlocks().count, 0);
}

// Whole blocks and their order through the capture thread: capture_audio_test.cpp.
TEST(AudioLoopingBufferTest, CaptureNeverOverwritesBytesNotTakenYet) {
    AudioLoopingBuffer ring;
    ASSERT_TRUE(ring.Reset(16));
    // One byte stays free, so a full buffer is never mistaken for an empty one.
    EXPECT_EQ(ring.WritableRegion().size(), 255u);
    EXPECT_FALSE(ring.Commit(256));
    ASSERT_TRUE(ring.Commit(255));
    EXPECT_TRUE(ring.WritableRegion().empty());
    EXPECT_FALSE(ring.Commit(1));
    EXPECT_EQ(ring.Available(), 255u);
    AudioLoopingBuffer::Parts parts = ring.TakeWholeBlocks();
    ASSERT_EQ(parts.count, 1);
    EXPECT_EQ(parts.part[0].length, 240u);
    EXPECT_EQ(ring.Available(), 15u);
    // Room up to the end of the buffer, then from its start up to the undelivered bytes.
    EXPECT_EQ(ring.WritableRegion().size(), 1u);
    ASSERT_TRUE(ring.Commit(1));
    EXPECT_EQ(ring.CapturePosition(), 0u);
    EXPECT_EQ(ring.WritableRegion().size(), 239u);
}

}  // namespace
}  // namespace capture
