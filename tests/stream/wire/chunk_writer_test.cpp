#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "wire/chunk.h"

namespace rtmp {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Readable(const ByteBuffer& b) {
    return Bytes(b.Current(), b.Current() + b.Remaining());
}

Bytes Pattern(int n, uint8_t seed = 0) {
    Bytes v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        v[static_cast<size_t>(i)] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

ByteBuffer BodyOf(const Bytes& bytes) {
    ByteBuffer body(static_cast<int>(bytes.size()));
    body.PutBytes(bytes.data(), static_cast<int>(bytes.size()));
    body.Flip();
    if (bytes.empty())
        body.Reset();
    return body;
}

// Writes one message on chunk stream id with the given header values and returns the bytes.
Bytes Write(ChunkWriter& w, RtmpContext& ctx, int id, int type, int streamId, int ts,
            const Bytes& body) {
    ctx.SetHeader(id, type, streamId, ts, static_cast<int>(body.size()));
    ByteBuffer in = BodyOf(body);
    ByteBuffer out;
    w.WriteMessage(ctx, id, out, in);
    EXPECT_EQ(in.Remaining(), 0);
    return Readable(out);
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes Slice(const Bytes& v, size_t from, size_t n) {
    return Bytes(v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + n));
}

TEST(ChunkBasicHeader, OneTwoAndThreeByteForms) {
    struct Case {
        int fmt, id;
        Bytes expected;
    };
    const Case cases[] = {
        {0, 2, {0x02}},
        {3, 4, {0xC4}},
        {1, 63, {0x7F}},
        {0, 64, {0x00, 0x00}},
        {2, 64, {0x80, 0x00}},
        {0, 319, {0x00, 0xFF}},
        {0, 320, {0x01, 0x00, 0x01}},
        {3, 65599, {0xC1, 0xFF, 0xFF}},
    };
    for (const Case& c : cases) {
        ByteBuffer out;
        WriteBasicHeader(out, c.fmt, c.id);
        out.Flip();
        EXPECT_EQ(Readable(out), c.expected) << "fmt " << c.fmt << " id " << c.id;
    }
}

TEST(ChunkHeaderType, ChosenByComparingWithTheLastHeader) {
    ChannelHeader last;
    ChannelHeader cur;
    cur.streamId = 1;
    cur.amfSize = 10;
    cur.amfType = MSG_VIDEO;
    cur.ts = 40;
    EXPECT_EQ(SelectHeaderType(cur, last), 0);  // nothing written yet
    last = cur;
    last.inUse = 1;
    EXPECT_EQ(SelectHeaderType(cur, last), 3);
    cur.ts = 33;
    EXPECT_EQ(SelectHeaderType(cur, last), 2);
    cur.amfSize = 11;
    EXPECT_EQ(SelectHeaderType(cur, last), 1);
    cur.amfSize = 10;
    cur.amfType = MSG_AUDIO;
    EXPECT_EQ(SelectHeaderType(cur, last), 1);
    cur.streamId = 0;
    EXPECT_EQ(SelectHeaderType(cur, last), 0);
}

TEST(ChunkWriterHeaders, FirstMessageTypeZeroThenTypeTwoThenTypeThree) {
    RtmpContext ctx;
    ChunkWriter w;
    const Bytes body = Pattern(10);

    const Bytes first = Write(w, ctx, 4, MSG_VIDEO, 1, 40, body);
    EXPECT_EQ(first, Cat({{0x04, 0, 0, 40, 0, 0, 10, 0x09, 1, 0, 0, 0}, body}));

    // Same stream, length and type, another delta: fmt 2 with the delta.
    const Bytes second = Write(w, ctx, 4, MSG_VIDEO, 1, 33, body);
    EXPECT_EQ(second, Cat({{0x84, 0, 0, 33}, body}));

    // Same delta again after a type-2 header: fmt 3, no message header.
    const Bytes third = Write(w, ctx, 4, MSG_VIDEO, 1, 33, body);
    EXPECT_EQ(third, Cat({{0xC4}, body}));

    // Another length: fmt 1.
    const Bytes fourth = Write(w, ctx, 4, MSG_VIDEO, 1, 33, Pattern(5));
    EXPECT_EQ(fourth, Cat({{0x44, 0, 0, 33, 0, 0, 5, 0x09}, Pattern(5)}));
    EXPECT_EQ(w.LastHeader().amfSize, 5);
    EXPECT_EQ(w.LastHeader().inUse, 1);
    EXPECT_EQ(w.RunningTime(4), 40u + 33u + 33u + 33u);
}

TEST(ChunkWriterHeaders, SameDeltaRightAfterTypeZeroUsesTypeTwo) {
    RtmpContext ctx;
    ChunkWriter w;
    const Bytes body = Pattern(3);
    Write(w, ctx, 4, MSG_AUDIO, 1, 23, body);
    // The peer knows no delta after a type-0 header, so a type-3 header would mean 0 there.
    EXPECT_EQ(Write(w, ctx, 4, MSG_AUDIO, 1, 23, body), Cat({{0x84, 0, 0, 23}, body}));
    EXPECT_EQ(Write(w, ctx, 4, MSG_AUDIO, 1, 23, body), Cat({{0xC4}, body}));
    EXPECT_EQ(w.RunningTime(4), 69u);
}

TEST(ChunkWriterChunks, ThreeHundredBytesOnChunkStreamFour) {
    RtmpContext ctx;
    ChunkWriter w;
    const Bytes body = Pattern(300);
    const Bytes out = Write(w, ctx, 4, MSG_VIDEO, 1, 0, body);
    const Bytes header = {0x04, 0, 0, 0, 0, 0x01, 0x2C, 0x09, 1, 0, 0, 0};
    EXPECT_EQ(out, Cat({header,
                        Slice(body, 0, 128),
                        {0xC4},
                        Slice(body, 128, 128),
                        {0xC4},
                        Slice(body, 256, 44)}));
}

TEST(ChunkWriterChunks, ExactMultipleOfChunkSizeHasNoTrailingContinuation) {
    RtmpContext ctx;
    ChunkWriter w;
    const Bytes body = Pattern(256);
    const Bytes out = Write(w, ctx, 3, MSG_INVOKE, 0, 0, body);
    ASSERT_EQ(out.size(), 12u + 256u + 1u);
    EXPECT_EQ(out[12 + 128], 0xC3);
    EXPECT_EQ(Slice(out, 12 + 129, 128), Slice(body, 128, 128));
}

TEST(ChunkWriterChunks, EmptyBodyIsJustTheHeader) {
    RtmpContext ctx;
    ChunkWriter w;
    EXPECT_EQ(Write(w, ctx, 2, MSG_PING, 0, 0, {}),
              (Bytes{0x02, 0, 0, 0, 0, 0, 0, 0x04, 0, 0, 0, 0}));
}

TEST(ChunkWriterTimestamps, DeltaOutsideRangeIsWrittenAndLeftAsZero) {
    for (int ts : {10001, -1, 1 << 30}) {
        RtmpContext ctx;
        ChunkWriter w;
        const Bytes out = Write(w, ctx, 4, MSG_AUDIO, 1, ts, Pattern(2));
        EXPECT_EQ(Slice(out, 1, 3), (Bytes{0, 0, 0})) << ts;
        EXPECT_EQ(ctx.Header(4).ts, 0) << ts;
        EXPECT_EQ(w.RunningTime(4), 0u) << ts;
    }
    RtmpContext ctx;
    ChunkWriter w;
    const Bytes out = Write(w, ctx, 4, MSG_AUDIO, 1, 10000, Pattern(2));
    EXPECT_EQ(Slice(out, 1, 3), (Bytes{0x00, 0x27, 0x10}));
    EXPECT_EQ(ctx.Header(4).ts, 10000);
}

TEST(ChunkWriterTimestamps, TypeZeroCarriesTheRunningTimeOfItsChunkStream) {
    RtmpContext ctx;
    ChunkWriter w;
    Write(w, ctx, 4, MSG_VIDEO, 1, 100, Pattern(8));
    Write(w, ctx, 4, MSG_VIDEO, 1, 40, Pattern(8));
    Write(w, ctx, 4, MSG_VIDEO, 1, 40, Pattern(8));
    Write(w, ctx, 4, MSG_VIDEO, 1, 33, Pattern(9));
    // A control message on another stream id forces the next media header to type 0.
    const Bytes ping = Write(w, ctx, 2, MSG_PING, 0, 0, Pattern(6));
    EXPECT_EQ(ping[0], 0x02);
    const Bytes media = Write(w, ctx, 4, MSG_VIDEO, 1, 27, Pattern(9));
    EXPECT_EQ(media[0], 0x04);
    // 100 + 40 + 40 + 33 + 27 = 240
    EXPECT_EQ(Slice(media, 1, 3), (Bytes{0, 0, 240}));
    EXPECT_EQ(w.RunningTime(4), 240u);
    EXPECT_EQ(w.RunningTime(2), 0u);
    // The context keeps the delta, not the running time.
    EXPECT_EQ(ctx.Header(4).ts, 27);
}

// Writes deltas of 10000 ms until the running time of chunk stream 4 is just below target,
// then one delta that reaches it exactly.
void RunUpTo(ChunkWriter& w, RtmpContext& ctx, uint32_t target) {
    while (w.RunningTime(4) + 10000 < target)
        Write(w, ctx, 4, MSG_AUDIO, 1, 10000, Pattern(1));
    Write(w, ctx, 4, MSG_AUDIO, 1, static_cast<int>(target - w.RunningTime(4)), Pattern(1));
    ASSERT_EQ(w.RunningTime(4), target);
}

TEST(ChunkWriterTimestamps, ExtendedTimestampInFirstAndEveryContinuationChunk) {
    RtmpContext ctx;
    ChunkWriter w;
    RunUpTo(w, ctx, 0xFFFFFF - 10);
    Write(w, ctx, 2, MSG_PING, 0, 0, Pattern(6));  // forces type 0 next
    const Bytes body = Pattern(300);
    const Bytes out = Write(w, ctx, 4, MSG_VIDEO, 1, 10, body);
    const Bytes ext = {0x00, 0xFF, 0xFF, 0xFF};
    const Bytes header = {0x04, 0xFF, 0xFF, 0xFF, 0, 0x01, 0x2C, 0x09, 1, 0, 0, 0};
    EXPECT_EQ(out, Cat({header,
                        ext,
                        Slice(body, 0, 128),
                        {0xC4},
                        ext,
                        Slice(body, 128, 128),
                        {0xC4},
                        ext,
                        Slice(body, 256, 44)}));
    EXPECT_LE(static_cast<int>(out.size()), ChunkedSizeBound(300));

    // The next message carries a small delta in a type-2 header: no extended field.
    const Bytes next = Write(w, ctx, 4, MSG_VIDEO, 1, 40, body);
    EXPECT_EQ(Slice(next, 0, 4), (Bytes{0x84, 0, 0, 40}));
    EXPECT_EQ(next[4 + 128], 0xC4);
    EXPECT_EQ(Slice(next, 4 + 129, 128), Slice(body, 128, 128));
}

TEST(ChunkWriterTimestamps, RunningTimeBelowTheMarkerKeepsThreeBytes) {
    RtmpContext ctx;
    ChunkWriter w;
    RunUpTo(w, ctx, 0xFFFFFE);
    Write(w, ctx, 2, MSG_PING, 0, 0, Pattern(6));
    const Bytes out = Write(w, ctx, 4, MSG_VIDEO, 1, 0, Pattern(200));
    EXPECT_EQ(Slice(out, 0, 4), (Bytes{0x04, 0xFF, 0xFF, 0xFE}));
    EXPECT_EQ(out.size(), 12u + 200u + 1u);
    EXPECT_EQ(out[12 + 128], 0xC4);
}

TEST(ChunkWriterBuffers, OutputGrowsForLargeBodies) {
    RtmpContext ctx;
    ChunkWriter w;
    const Bytes body = Pattern(30000, 3);
    ctx.SetHeader(4, MSG_VIDEO, 1, 0, 30000);
    ByteBuffer in = BodyOf(body);
    ByteBuffer out(16);
    w.WriteMessage(ctx, 4, out, in);
    const Bytes wire = Readable(out);
    // 30000 = 234 full chunks + 48 bytes: 234 continuation bytes.
    ASSERT_EQ(wire.size(), 12u + 30000u + 234u);
    Bytes joined;
    size_t at = 12;
    while (at < wire.size()) {
        const size_t n = std::min<size_t>(128, wire.size() - at);
        joined.insert(joined.end(), wire.begin() + static_cast<long>(at),
                      wire.begin() + static_cast<long>(at + n));
        at += n;
        if (at < wire.size()) {
            EXPECT_EQ(wire[at], 0xC4);
            ++at;
        }
    }
    EXPECT_EQ(joined, body);
}

TEST(ChunkWriterBuffers, SizeBoundCoversWorstCaseHeaders) {
    EXPECT_GE(ChunkedSizeBound(0), 18);
    EXPECT_GE(ChunkedSizeBound(128), 18 + 128);
    EXPECT_GE(ChunkedSizeBound(129), 18 + 129 + 7);
    EXPECT_GE(ChunkedSizeBound(300), 18 + 300 + 2 * 7);
    EXPECT_LT(ChunkedSizeBound(300), 18 + 300 + 3 * 7);
}

TEST(RtmpPacketFinish, LongCommandBodyIsChunkedWhole) {
    RtmpContext ctx;
    ctx.SetHeader(3, MSG_INVOKE, 0);
    RtmpPacket packet;
    packet.WriteString("call");
    packet.WriteNumber(7);
    packet.WriteNull();
    const std::string text(1980, 'x');
    packet.WriteString(text.c_str());
    packet.Flip();
    const Bytes body = Readable(packet);
    ASSERT_EQ(body.size(), 2000u);

    RtmpPacket& same = packet.Finish(ctx, 3);
    EXPECT_EQ(&same, &packet);
    EXPECT_EQ(ctx.Header(3).amfSize, 2000);
    const Bytes wire = Readable(packet);
    EXPECT_EQ(packet.Position(), 0);
    // 2000 = 15 full chunks + 80 bytes.
    ASSERT_EQ(wire.size(), 12u + 2000u + 15u);
    EXPECT_EQ(Slice(wire, 0, 12), (Bytes{0x03, 0, 0, 0, 0, 0x07, 0xD0, 0x14, 0, 0, 0, 0}));
    Bytes joined;
    for (size_t at = 12, chunk = 0; at < wire.size(); ++chunk) {
        if (chunk > 0) {
            EXPECT_EQ(wire[at], 0xC3) << "chunk " << chunk;
            ++at;
        }
        const size_t n = std::min<size_t>(128, wire.size() - at);
        joined.insert(joined.end(), wire.begin() + static_cast<long>(at),
                      wire.begin() + static_cast<long>(at + n));
        at += n;
    }
    EXPECT_EQ(joined, body);
}

TEST(RtmpPacketFinish, EveryPacketStartsWithATypeZeroHeader) {
    RtmpContext ctx;
    for (int i = 0; i < 2; ++i) {
        ctx.SetHeader(8, MSG_INVOKE, 1);
        RtmpPacket packet;
        packet.WriteString("play");
        packet.Flip();
        packet.Finish(ctx, 8);
        const Bytes wire = Readable(packet);
        ASSERT_EQ(wire.size(), 12u + 7u);
        EXPECT_EQ(Slice(wire, 0, 12), (Bytes{0x08, 0, 0, 0, 0, 0, 7, 0x14, 1, 0, 0, 0}));
    }
}

}  // namespace
}  // namespace rtmp
