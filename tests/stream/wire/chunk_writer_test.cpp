#include <gtest/gtest.h>

#include "stream_kit.h"
#include "wire/byte_buffer.h"
#include "wire/chunk.h"

namespace rtmp {
namespace {

using namespace kit;

// Writes one message on chunk stream id with the given header values and returns the bytes.
Bytes Write(ChunkWriter& w, RtmpContext& ctx, int id, int type, int streamId, int ts,
            const Bytes& body, int outCapacity = 512) {
    ctx.SetHeader(id, type, streamId, ts, static_cast<int>(body.size()));
    ByteBuffer in = Buffer(body);
    ByteBuffer out(outCapacity);
    w.WriteMessage(ctx, id, out, in);
    EXPECT_EQ(in.Remaining(), 0);
    return Readable(out);
}

// The expected wire form: header, then the body in 128-byte chunks, each after the first led by
// the one-byte continuation header; ext (an extended timestamp) follows every chunk header.
Bytes Chunked(const Bytes& header, const Bytes& body, uint8_t continuation, const Bytes& ext = {}) {
    Bytes out = Cat({header, ext});
    for (size_t at = 0; at < body.size() || at == 0; at += 128) {
        if (at > 0)
            out = Cat({out, B(continuation), ext});
        out = Cat({out, Slice(body, at, std::min<size_t>(128, body.size() - at))});
    }
    return out;
}

TEST(ChunkBasicHeader, OneTwoAndThreeByteForms) {
    const std::pair<int, int> headers[] = {{0, 2},  {3, 4},   {1, 63},  {0, 64},
                                           {2, 64}, {0, 319}, {0, 320}, {3, 65599}};
    ByteBuffer out;
    for (const auto& [fmt, id] : headers)
        WriteBasicHeader(out, fmt, id);
    out.Flip();
    EXPECT_EQ(Readable(out), (Bytes{0x02, 0xC4, 0x7F, 0x00, 0x00, 0x80, 0x00, 0x00, 0xFF, 0x01,
                                    0x00, 0x01, 0xC1, 0xFF, 0xFF}));
}

// One writer through a run of messages: each gets the shortest header the peer can follow
// (after a type-0 header the peer knows no delta); a delta outside 0..10000 is written and kept
// as 0; a message on another stream id forces the next media header to type 0, which carries
// the running time of its chunk stream.
TEST(ChunkWriterHeaders, EachMessageGetsTheShortestHeaderAndItsTime) {
    RtmpContext ctx;
    ChunkWriter w;
    const Bytes b = Pattern(10), p5 = Pattern(5), p6 = Pattern(6);
    const struct {
        int id, type, ts;
        Bytes body, expected;
        uint32_t running;  // of chunk stream 4, after the message
        int kept;          // the delta the context keeps
    } steps[] = {
        {4, MSG_VIDEO, 40, b, Cat({B(0x04, 0, 0, 40, 0, 0, 10, 0x09, 1, 0, 0, 0), b}), 40, 40},
        {4, MSG_VIDEO, 40, b, Cat({B(0x84, 0, 0, 40), b}), 80, 40},
        {4, MSG_VIDEO, 40, b, Cat({B(0xC4), b}), 120, 40},  // same delta after a type-2 header
        {4, MSG_VIDEO, 33, b, Cat({B(0x84, 0, 0, 33), b}), 153, 33},
        {4, MSG_VIDEO, 33, p5, Cat({B(0x44, 0, 0, 33, 0, 0, 5, 0x09), p5}), 186, 33},
        {4, MSG_AUDIO, 33, p5, Cat({B(0x44, 0, 0, 33, 0, 0, 5, 0x08), p5}), 219, 33},
        {4, MSG_AUDIO, 10001, p5, Cat({B(0x84, 0, 0, 0), p5}), 219, 0},
        {4, MSG_AUDIO, -1, p5, Cat({B(0xC4), p5}), 219, 0},
        {4, MSG_AUDIO, 1 << 30, p5, Cat({B(0xC4), p5}), 219, 0},
        {4, MSG_AUDIO, 10000, p5, Cat({B(0x84, 0, 0x27, 0x10), p5}), 10219, 10000},
        {2, MSG_PING, 0, p6, Cat({B(0x02, 0, 0, 0, 0, 0, 6, 0x04, 0, 0, 0, 0), p6}), 10219, 0},
        {4, MSG_VIDEO, 27, p5, Cat({B(0x04), Be(10246, 3), B(0, 0, 5, 0x09, 1, 0, 0, 0), p5}),
         10246, 27},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.ts);
        EXPECT_EQ(Write(w, ctx, s.id, s.type, s.id == 2 ? 0 : 1, s.ts, s.body), s.expected);
        EXPECT_EQ(std::pair(w.RunningTime(4), ctx.Header(s.id).ts), std::pair(s.running, s.kept));
    }
    EXPECT_EQ(w.RunningTime(2), 0u);
    EXPECT_EQ(std::pair(w.LastHeader().amfSize, w.LastHeader().inUse), std::pair(5, 1));
}

// Writes deltas until the running time of chunk stream 4 is exactly target, then a ping on
// another stream id so that the next media header is type 0.
void RunUpTo(ChunkWriter& w, RtmpContext& ctx, uint32_t target) {
    while (w.RunningTime(4) + 10000 < target)
        Write(w, ctx, 4, MSG_AUDIO, 1, 10000, Pattern(1));
    Write(w, ctx, 4, MSG_AUDIO, 1, static_cast<int>(target - w.RunningTime(4)), Pattern(1));
    ASSERT_EQ(w.RunningTime(4), target);
    Write(w, ctx, 2, MSG_PING, 0, 0, Pattern(6));
}

TEST(ChunkWriterTimestamps, ExtendedTimestampFromTheMarkerOnInEveryChunk) {
    RtmpContext ctx;
    ChunkWriter w;
    RunUpTo(w, ctx, 0xFFFFFE);
    const Bytes body = Pattern(300);
    // Below the marker: three bytes.
    EXPECT_EQ(Write(w, ctx, 4, MSG_VIDEO, 1, 0, body),
              Chunked({0x04, 0xFF, 0xFF, 0xFE, 0, 0x01, 0x2C, 0x09, 1, 0, 0, 0}, body, 0xC4));
    Write(w, ctx, 2, MSG_PING, 0, 0, Pattern(6));
    const Bytes out = Write(w, ctx, 4, MSG_VIDEO, 1, 1, body);
    EXPECT_EQ(out, Chunked({0x04, 0xFF, 0xFF, 0xFF, 0, 0x01, 0x2C, 0x09, 1, 0, 0, 0}, body, 0xC4,
                           {0x00, 0xFF, 0xFF, 0xFF}));
    EXPECT_LE(static_cast<int>(out.size()), ChunkedSizeBound(300));
    // A small delta in a type-2 header after it: no extended field.
    EXPECT_EQ(Write(w, ctx, 4, MSG_VIDEO, 1, 40, body), Chunked({0x84, 0, 0, 40}, body, 0xC4));
    // The size bound covers worst-case headers.
    EXPECT_GE(ChunkedSizeBound(0), 18);
    EXPECT_GE(ChunkedSizeBound(128), 18 + 128);
    EXPECT_GE(ChunkedSizeBound(129), 18 + 129 + 7);
    EXPECT_GE(ChunkedSizeBound(300), 18 + 300 + 2 * 7);
    EXPECT_LT(ChunkedSizeBound(300), 18 + 300 + 3 * 7);
}

TEST(ByteBuffer, AllocateKeepsAFittingBlockAndAccessPastTheEndsIsRefused) {
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
    // Reads past the limit and writes past the capacity are refused.
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
