#include "capture/audio_looping_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

namespace capture {
namespace {

// Writes `bytes` bytes into the buffer, each the low byte of (first + i).
void WriteCounting(AudioLoopingBuffer& ring, uint32_t bytes, uint32_t first) {
    uint32_t done = 0;
    while (done < bytes) {
        std::span<uint8_t> region = ring.WritableRegion();
        ASSERT_FALSE(region.empty());
        const uint32_t now = std::min<uint32_t>(bytes - done, static_cast<uint32_t>(region.size()));
        for (uint32_t i = 0; i < now; ++i) {
            region[i] = static_cast<uint8_t>(first + done + i);
        }
        ASSERT_TRUE(ring.Commit(now));
        done += now;
    }
}

TEST(AudioLoopingBufferTest, RefusesBlockSizesWithoutABuffer) {
    AudioLoopingBuffer ring;
    EXPECT_FALSE(ring.Reset(0));
    EXPECT_FALSE(ring.Reset(std::numeric_limits<uint32_t>::max() / 16 + 1));
    EXPECT_EQ(ring.BufferBytes(), 0u);
    EXPECT_TRUE(ring.WritableRegion().empty());
    EXPECT_EQ(ring.TakeWholeBlocks().count, 0);
}

TEST(AudioLoopingBufferTest, OneAndAHalfBlocksGiveOneBlockAndKeepTheHalf) {
    AudioLoopingBuffer ring;
    ASSERT_TRUE(ring.Reset(4096));
    WriteCounting(ring, 6144, 0);
    AudioLoopingBuffer::Parts parts = ring.TakeWholeBlocks();
    ASSERT_EQ(parts.count, 1);
    EXPECT_EQ(parts.part[0].length, 4096u);
    EXPECT_EQ(parts.part[0].data[0], 0);
    EXPECT_EQ(parts.part[0].data[4095], static_cast<uint8_t>(4095));
    EXPECT_EQ(ring.NextOffset(), 4096u);
    EXPECT_EQ(ring.Available(), 2048u);

    // The half waits until its block is complete.
    EXPECT_EQ(ring.TakeWholeBlocks().count, 0);
    WriteCounting(ring, 2048, 6144);
    parts = ring.TakeWholeBlocks();
    ASSERT_EQ(parts.count, 1);
    ASSERT_EQ(parts.part[0].length, 4096u);
    for (uint32_t i = 0; i < 4096; ++i) {
        ASSERT_EQ(parts.part[0].data[i], static_cast<uint8_t>(4096 + i)) << i;
    }
    EXPECT_EQ(ring.NextOffset(), 8192u);
}

TEST(AudioLoopingBufferTest, TwoBlocksWrappingPastTheEndComeAsTwoPartsInOrder) {
    AudioLoopingBuffer ring;
    ASSERT_TRUE(ring.Reset(4096));
    WriteCounting(ring, 15 * 4096, 0);
    AudioLoopingBuffer::Parts parts = ring.TakeWholeBlocks();
    ASSERT_EQ(parts.count, 1);
    EXPECT_EQ(parts.part[0].length, 15u * 4096u);
    EXPECT_EQ(ring.NextOffset(), 61440u);

    WriteCounting(ring, 2 * 4096, 7);
    EXPECT_EQ(ring.CapturePosition(), 4096u);
    parts = ring.TakeWholeBlocks();
    ASSERT_EQ(parts.count, 2);
    EXPECT_EQ(parts.part[0].length, 4096u);
    EXPECT_EQ(parts.part[1].length, 4096u);
    EXPECT_EQ(parts.part[0].data[0], 7);
    EXPECT_EQ(parts.part[0].data[4095], static_cast<uint8_t>(7 + 4095));
    EXPECT_EQ(parts.part[1].data[0], static_cast<uint8_t>(7 + 4096));
    EXPECT_EQ(parts.part[1].data[4095], static_cast<uint8_t>(7 + 8191));
    // The second part starts at the buffer's start; the next offset is one block past it.
    EXPECT_LT(parts.part[1].data, parts.part[0].data);
    EXPECT_EQ(ring.NextOffset(), 4096u);
}

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
