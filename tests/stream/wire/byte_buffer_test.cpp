#include "wire/byte_buffer.h"

#include <gtest/gtest.h>

#include <vector>

namespace rtmp {
namespace {

std::vector<uint8_t> Written(ByteBuffer& b) {
    return std::vector<uint8_t>(b.Data(), b.Data() + b.Position());
}

TEST(ByteBufferStorage, AllocateRoundsToBlocksAndKeepsFittingBlock) {
    ByteBuffer b;
    EXPECT_EQ(b.Capacity(), 512);
    b.PutByte(0xAB);
    EXPECT_TRUE(b.Allocate(0));  // taken as 1: fits, only clears
    EXPECT_EQ(b.Capacity(), 512);
    EXPECT_EQ(b.Position(), 0);
    EXPECT_EQ(b.Limit(), 512);
    EXPECT_EQ(b.Data()[0], 0xAB);  // contents kept
    EXPECT_TRUE(b.Allocate(-5));
    EXPECT_EQ(b.Capacity(), 512);
    EXPECT_TRUE(b.Allocate(512));
    EXPECT_EQ(b.Data()[0], 0xAB);
    EXPECT_TRUE(b.Allocate(513));
    EXPECT_EQ(b.Capacity(), 1024);
    EXPECT_EQ(b.Data()[0], 0);  // replaced by a zero-filled block
}

TEST(ByteBufferStorage, FlipOnEmptyPositionChangesNothing) {
    ByteBuffer b;
    b.Clear();
    b.Flip();
    EXPECT_EQ(b.Limit(), b.Capacity());
    b.PutInt16(7);
    b.Flip();
    EXPECT_EQ(b.Limit(), 2);
    EXPECT_EQ(b.Remaining(), 2);
}

TEST(ByteBufferOrder, IntegersAndDoubleOnTheWire) {
    ByteBuffer b;
    b.PutInt24(70000);
    b.PutInt32LE(1);
    b.PutInt32(1);
    b.PutInt16(0xBEEF);
    b.PutDouble(1.0);
    EXPECT_EQ(Written(b), (std::vector<uint8_t>{0x01, 0x11, 0x70, 1,    0, 0, 0, 0, 0, 0, 1,
                                                0xBE, 0xEF, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));
    b.Flip();
    EXPECT_EQ(b.GetInt24(), 70000u);
    EXPECT_EQ(b.GetInt32LE(), 1u);
    EXPECT_EQ(b.GetInt32(), 1u);
    EXPECT_EQ(b.GetInt16(), 0xBEEFu);
    EXPECT_EQ(b.GetDouble(), 1.0);
    EXPECT_EQ(b.Remaining(), 0);
}

TEST(ByteBufferOrder, Int24IsUnsignedAndDoubleRoundTrips) {
    ByteBuffer b;
    const uint8_t ff[] = {0xFF, 0xFF, 0xFF};
    b.PutBytes(ff, 3);
    b.PutDouble(-123.456e10);
    b.Flip();
    EXPECT_EQ(b.GetInt24(), 16777215u);
    EXPECT_EQ(b.GetDouble(), -123.456e10);
}

TEST(ByteBufferAppend, GrowsKeepingWrittenBytes) {
    ByteBuffer b;
    std::vector<uint8_t> first(500, 0x11);
    b.PutBytes(first.data(), 500);
    ByteBuffer src;
    std::vector<uint8_t> second(100, 0x22);
    src.PutBytes(second.data(), 100);
    src.Flip();
    b.Append(src, 100);
    EXPECT_EQ(b.Capacity(), 1536);  // 500 + 100 + 512 in whole blocks
    EXPECT_EQ(b.Position(), 600);
    EXPECT_EQ(src.Remaining(), 0);
    auto w = Written(b);
    EXPECT_EQ(w[0], 0x11);
    EXPECT_EQ(w[499], 0x11);
    EXPECT_EQ(w[500], 0x22);
    EXPECT_EQ(w[599], 0x22);
}

TEST(ByteBufferAppend, AfterResetAllocatesRoomOrOnlyClears) {
    ByteBuffer b;
    b.Reset();
    ByteBuffer src(2000);
    std::vector<uint8_t> bytes(1000, 0x33);
    src.PutBytes(bytes.data(), 1000);
    src.Flip();
    b.Append(src, 1000);
    EXPECT_EQ(b.Capacity(), 1536);
    EXPECT_EQ(b.Position(), 1000);
    b.Reset();
    src.SetPosition(0);
    b.Append(src, 10);
    EXPECT_EQ(b.Capacity(), 1536);  // fits: block kept
    EXPECT_EQ(b.Position(), 10);
}

TEST(ByteBufferBounds, ReadsPastLimitAndWritesPastCapacityAreRefused) {
    ByteBuffer b;
    b.PutInt16(1);
    b.Flip();
    EXPECT_THROW(b.GetInt24(), BufferBoundsError);
    EXPECT_EQ(b.Position(), 0);  // nothing consumed
    EXPECT_EQ(b.GetInt16(), 1u);
    EXPECT_THROW(b.GetByte(), BufferBoundsError);
    ByteBuffer w;
    std::vector<uint8_t> big(513);
    EXPECT_THROW(w.PutBytes(big.data(), 513), BufferBoundsError);
    w.Release();
    EXPECT_EQ(w.Current(), nullptr);
    EXPECT_THROW(w.PutByte(1), BufferBoundsError);
}

}  // namespace
}  // namespace rtmp
