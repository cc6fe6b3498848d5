#include "wire/byte_buffer.h"

#include <gtest/gtest.h>

#include "stream_kit.h"

namespace rtmp {
namespace {

using namespace kit;

TEST(ByteBuffer, AllocateRoundsToBlocksAndKeepsAFittingBlock) {
    ByteBuffer b;
    EXPECT_EQ(b.Capacity(), 512);
    b.PutByte(0xAB);
    for (int size : {0, -5, 512}) {  // 0 and below are taken as 1: fits, only clears
        EXPECT_TRUE(b.Allocate(size));
        // Capacity, position and limit, and the contents kept.
        EXPECT_EQ(std::tuple(b.Capacity(), b.Position(), b.Limit(), b.Data()[0]),
                  std::tuple(512, 0, 512, 0xAB));
    }
    EXPECT_TRUE(b.Allocate(513));
    EXPECT_EQ(b.Capacity(), 1024);
    EXPECT_EQ(b.Data()[0], 0);  // replaced by a zero-filled block
    b.Clear();
    b.Flip();  // nothing written: changes nothing
    EXPECT_EQ(b.Limit(), b.Capacity());
}

TEST(ByteBuffer, ReadsPastTheLimitAndWritesPastTheCapacityAreRefused) {
    ByteBuffer b;
    b.PutInt16(1);
    b.Flip();
    EXPECT_THROW(b.GetInt24(), BufferBoundsError);
    EXPECT_EQ(b.Position(), 0);  // nothing consumed
    EXPECT_EQ(b.GetInt16(), 1u);
    EXPECT_THROW(b.GetByte(), BufferBoundsError);
    ByteBuffer w;
    EXPECT_THROW(w.PutBytes(Bytes(513).data(), 513), BufferBoundsError);
    w.Release();
    EXPECT_EQ(w.Current(), nullptr);
    EXPECT_THROW(w.PutByte(1), BufferBoundsError);
}

}  // namespace
}  // namespace rtmp
