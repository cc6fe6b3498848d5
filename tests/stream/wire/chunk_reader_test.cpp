#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include "stream_kit.h"
#include "wire/chunk.h"
#include "wire/message_decoder.h"
#include "wire/my_exception.h"

namespace rtmp {
namespace {

using namespace kit;

Bytes Plain(int type, int n, uint8_t seed) {
    return Cat({B(uint8_t(type == MSG_AUDIO ? 0xB2 : 0x12)), Pattern(size_t(n), seed, 13)});
}

// A chunk stream from the sending-side writer, and the media a decoder must report.
struct StreamBuilder {
    void Media(int type, int delta, const Bytes& body) {
        Write(4, type, 1, delta, body);
        if (body.size() > 1)
            media.push_back({type, Bytes(body.begin() + 1, body.end()), writer.RunningTime(4)});
    }
    void Write(int id, int type, int streamId, int delta, const Bytes& body) {
        context.SetHeader(id, type, streamId, delta, static_cast<int>(body.size()));
        ByteBuffer in = Buffer(body);
        ByteBuffer out;
        writer.WriteMessage(context, id, out, in);
        wire = Cat({wire, Readable(out)});
    }
    void Ping(int event, uint32_t value) {
        Write(2, MSG_PING, 0, 0, Cat({Be(event, 2), Be(value, 4)}));
    }

    RtmpContext context;
    ChunkWriter writer;
    Bytes wire;
    std::vector<kit::Media> media;
};

// Every header type, several chunk streams, multi-chunk and zero-length bodies, commands.
void MixedStream(StreamBuilder& s) {
    s.Write(3, MSG_INVOKE, 0, 0, Command("_result", 1));
    s.Media(MSG_AUDIO, 0, Plain(MSG_AUDIO, 9, 1));
    s.Media(MSG_AUDIO, 23, Plain(MSG_AUDIO, 9, 2));
    s.Media(MSG_AUDIO, 23, Plain(MSG_AUDIO, 9, 3));
    s.Media(MSG_VIDEO, 0, Plain(MSG_VIDEO, 299, 4));
    s.Media(MSG_VIDEO, 40, Plain(MSG_VIDEO, 299, 5));
    s.Ping(6, 1234);
    s.Media(MSG_AUDIO, 5, Plain(MSG_AUDIO, 128, 6));
    s.Media(MSG_VIDEO, 10000, Plain(MSG_VIDEO, 127, 7));
    s.Media(MSG_VIDEO, 33, Plain(MSG_VIDEO, 1, 8));
    s.Write(6, MSG_NOTIFY, 0, 0, Cat({Command("CallBack", 1), Str("hello")}));
    s.Media(MSG_VIDEO, 7, {});
    s.Media(MSG_AUDIO, 3, Plain(MSG_AUDIO, 255, 9));
    s.Media(MSG_AUDIO, 3, Plain(MSG_AUDIO, 255, 10));
}

// Media running past the 24-bit timestamp range.
void ExtendedStream(StreamBuilder& s) {
    while (s.writer.RunningTime(4) < 0xFFFFFF - 20000)
        s.Media(MSG_AUDIO, 10000, Plain(MSG_AUDIO, 1, 0));
    s.wire.clear();
    s.media.clear();
    s.Ping(0, 1);  // another stream id: the next media header is type 0
    for (int i = 0; i < 4; ++i)
        s.Media(MSG_VIDEO, 7000, Plain(MSG_VIDEO, 300, uint8_t(i)));
    s.Media(MSG_VIDEO, 7000, Plain(MSG_VIDEO, 20, 9));
    s.Ping(0, 2);
    s.Media(MSG_VIDEO, 40, Plain(MSG_VIDEO, 300, 11));
    EXPECT_GT(s.writer.RunningTime(4), 0xFFFFFFu);
}

// Feeds wire to a fresh decoder in blocks ending at cuts; returns what it reported.
Recorder DecodeInPieces(const Bytes& wire, const std::vector<size_t>& cuts) {
    Recorder rec;
    MessageDecoder decoder(&rec);
    RtmpContext context;
    size_t from = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(wire.size());
    for (size_t end : ends) {
        ByteBuffer block = Buffer(Slice(wire, from, end - from));
        decoder.DecodeReciveUnite(context, block);
        from = end;
    }
    EXPECT_EQ(decoder.Leftover().Remaining(), 0);
    for (int id = 0; id < kChannelCount; ++id)
        EXPECT_EQ(context.Chunks(id).Position(), 0) << "chunk stream " << id;
    return rec;
}

TEST(ChunkReaderStream, EveryCutIntoTwoBlocksAndRandomPiecesGiveTheSameMessages) {
    std::mt19937 rng(20140107);
    for (auto build : {MixedStream, ExtendedStream}) {
        StreamBuilder s;
        build(s);
        const Recorder whole = DecodeInPieces(s.wire, {});
        ASSERT_EQ(whole.media, s.media);
        if (build == MixedStream) {
            // Commands and the ping come between the media; a zero-length message's delta counts.
            const std::vector<std::string>& e = whole.events;
            EXPECT_EQ(e.front(), "result:InvokeName=_result");
            EXPECT_EQ(e.back(), "audio@" + std::to_string(s.writer.RunningTime(4)));
            for (const char* event :
                 {"ping", "callback:hello", "result:CallResult=Vistrel.Call.Success"})
                EXPECT_NE(std::find(e.begin(), e.end(), event), e.end()) << event;
            EXPECT_EQ(whole.media[whole.media.size() - 2].ts,
                      0u + 23 + 23 + 40 + 5 + 10000 + 33 + 7 + 3);
        }
        for (size_t cut = 0; cut <= s.wire.size(); ++cut) {
            const Recorder parts = DecodeInPieces(s.wire, {cut});
            ASSERT_EQ(std::tie(parts.events, parts.media), std::tie(whole.events, whole.media))
                << "cut at " << cut;
        }
        for (int round = 0; round < 200; ++round) {
            std::vector<size_t> cuts;
            std::uniform_int_distribution<size_t> step(0, round % 2 == 0 ? 8 : 200);
            for (size_t at = step(rng); at < s.wire.size(); at += step(rng))
                cuts.push_back(at);
            const Recorder parts = DecodeInPieces(s.wire, cuts);
            ASSERT_EQ(std::tie(parts.events, parts.media), std::tie(whole.events, whole.media))
                << "round " << round;
        }
    }
}

TEST(ChunkReaderErrors, BadIdsAndShrunkLengthsThrowAndWriteTheErrorFile) {
    // Bad ids; a 300-byte message's first chunk, then a type-1 header saying 100 (or 0) bytes,
    // less than gathered; a bad id behind a whole message, which is delivered. Logged aside.
    const LogFolder logs;
    StreamBuilder s;
    s.Media(MSG_AUDIO, 0, Plain(MSG_AUDIO, 299, 1));
    const Bytes good = {0x04, 0, 0, 9, 0, 0, 3, 0x08, 1, 0, 0, 0, 0xB2, 0x10, 0x11};
    const std::pair<Bytes, MyException> cases[] = {
        {{0x00, 0x00}, MYEX_HEADER},
        {{0x41, 0x00, 0x01}, MYEX_HEADER},
        {{0xC0, 0x05}, MYEX_HEADER},
        {Cat({Head(s.wire, 12 + 128), {0x44, 0, 0, 0, 0, 0, 100, 0x08}, Bytes(100, 0xAA)}),
         MYEX_SIZE},
        {Cat({Head(s.wire, 12 + 128), {0x44, 0, 0, 0, 0, 0, 0, 0x08}}), MYEX_SIZE},
        {Cat({good, B(0x0C, 0, 0, 0)}), MYEX_HEADER}};
    Recorder rec;
    for (const auto& [input, code] : cases) {
        MessageDecoder decoder(&rec);
        RtmpContext context;
        ByteBuffer block = Buffer(input);
        ExpectFault([&] { decoder.DecodeReciveUnite(context, block); }, code);
        EXPECT_EQ(block.Position(), 0);
    }
    EXPECT_EQ(rec.media.size(), 1u);
    EXPECT_THAT(logs.File("Vistrel.err"),
                testing::EndsWith(
                    "::DecodeHeader().Erro. HeaderByte=0x0C,ChannelID=0x0C,StartPos=15=(0*16+15),"
                    "byteCount=1,read=1,MSize=128=(8*16+0),buf(pos=15,lim=19,cap=512)" +
                    std::string(cases[5].first.begin(), cases[5].first.end())));
    // Only the first byte of a two-byte form waits for the id.
    MessageDecoder decoder;
    RtmpContext context;
    ByteBuffer part = Buffer({0x00});
    decoder.DecodeReciveUnite(context, part);
    EXPECT_EQ(decoder.Leftover().Remaining(), 1);
    ByteBuffer rest = Buffer({0x00});
    EXPECT_THROW(decoder.DecodeReciveUnite(context, rest), MyException);
}

TEST(ChunkReaderChunkSize, LargerChunksAreGatheredInOneStepAndImpossibleSizesBreakTheStream) {
    const LogFolder logs;
    const Bytes body = Plain(MSG_AUDIO, 4999, 3);
    const Bytes first = Cat({B(0x02, 0, 0, 0, 0, 0, 4, 0x01, 0, 0, 0, 0, 0x00, 0x00, 0x10, 0x00),
                             B(0x04, 0, 0, 50, 0, 0x13, 0x88, 0x08, 1, 0, 0, 0), Head(body, 4096)});
    Recorder rec;
    MessageDecoder decoder(&rec);
    RtmpContext context;
    ByteBuffer a = Buffer(first);
    decoder.DecodeReciveUnite(context, a);
    EXPECT_EQ(std::tuple(decoder.ChunkSize(), context.Chunks(4).Position(),
                         decoder.Leftover().Remaining()),
              std::tuple(4096, 4096, 0));
    ByteBuffer b = Buffer(Cat({B(0xC4), Slice(body, 4096, body.size() - 4096)}));
    decoder.DecodeReciveUnite(context, b);
    EXPECT_EQ(rec.media, (std::vector<kit::Media>{{8, Bytes(body.begin() + 1, body.end()), 50}}));

    // Impossible sizes break the stream, the largest is taken, a short body is passed over.
    // With the largest, the largest message in 20 KiB blocks is decoded whole, each byte copied
    // into the leftover a bounded number of times (once more per block would be gigabytes).
    const std::pair<Bytes, int> sizes[] = {{Be(0, 4), 0},
                                           {Be(0xFFFFFFFF, 4), 0},
                                           {Be(0x80000000, 4), 0},
                                           {Be(kMaxInChunkSize + 1, 4), 0},
                                           {Be(kMaxInChunkSize, 4), kMaxInChunkSize},
                                           {B(0x00, 0x10, 0x00), 128}};
    for (const auto& [size, kept] : sizes) {
        Recorder got;
        MessageDecoder fresh(&got);
        RtmpContext other;
        ByteBuffer block =
            Buffer(Cat({B(0x02, 0, 0, 0, 0, 0, size.size(), 0x01, 0, 0, 0, 0), size}));
        ByteBuffer sizeBody = Buffer(size);
        if (kept == 0) {
            ExpectFault([&] { fresh.DecodeReciveUnite(other, block); }, MYEX_CHUNKSIZE);
        } else {
            fresh.DecodeReciveUnite(other, block);
            EXPECT_EQ(fresh.DecodeChunkSize(sizeBody), kept != 128);
            EXPECT_EQ(sizeBody.Remaining(), kept != 128 ? 0 : 3);
        }
        EXPECT_EQ(fresh.ChunkSize(), kept == 0 ? 128 : kept);
        if (kept != kMaxInChunkSize)
            continue;
        const Bytes huge = Plain(MSG_VIDEO, 0xFFFFFF - 1, 5);
        const Bytes wire = Cat({B(0x04, 0, 0, 7, 0xFF, 0xFF, 0xFF, 0x09, 1, 0, 0, 0), huge});
        for (size_t at = 0; at < wire.size(); at += 20480) {
            ByteBuffer piece = Buffer(Slice(wire, at, std::min<size_t>(20480, wire.size() - at)));
            fresh.DecodeReciveUnite(other, piece);
        }
        EXPECT_EQ(got.media,
                  (std::vector<kit::Media>{{9, Bytes(huge.begin() + 1, huge.end()), 7}}));
        EXPECT_EQ(fresh.Leftover().Remaining(), 0);
        EXPECT_GE(fresh.LeftoverBytesCopied(), int64_t{0xFFFFFF} - 20480);
        EXPECT_LE(fresh.LeftoverBytesCopied(), 3 * int64_t{0xFFFFFF});
    }
}

TEST(ChunkReaderTimestamps, TypeThreeReusesTheHeaderAndExtendedTimesAreReadInEveryChunk) {
    const Recorder rec = DecodeInPieces(
        {
            0x05, 0x00, 0x03, 0xE8, 0,    0, 3, 0x08, 1, 0, 0, 0, 0xB2, 1, 2,  // ts 1000
            0xC5, 0xB2, 3,    4,                                               // +0 after type 0
            0x85, 0,    0,    40,   0xB2, 5, 6,                                // +40
            0xC5, 0xB2, 7,    8,                                               // +40
            0xC5, 0xB2, 9,    10,                                              // +40
        },
        {});
    EXPECT_EQ(rec.media, (std::vector<kit::Media>{{8, {1, 2}, 1000},
                                                  {8, {3, 4}, 1000},
                                                  {8, {5, 6}, 1040},
                                                  {8, {7, 8}, 1080},
                                                  {8, {9, 10}, 1120}}));
    // An extended timestamp repeated in every continuation chunk and a type-3 next message.
    const Bytes ext = {0x12, 0x34, 0x56, 0x78};
    const Bytes body = Plain(MSG_AUDIO, 299, 1);
    Bytes input = Cat({B(0x04, 0xFF, 0xFF, 0xFF, 0, 0x01, 0x2C, 0x08, 1, 0, 0, 0), ext});
    for (int m = 0; m < 2; ++m) {
        for (size_t at = 0; at < body.size(); at += 128) {
            if (at > 0 || m > 0)
                input = Cat({input, B(0xC4), ext});
            input = Cat({input, Slice(body, at, std::min<size_t>(128, body.size() - at))});
        }
    }
    const kit::Media expected = {8, Bytes(body.begin() + 1, body.end()), 0x12345678};
    EXPECT_EQ(DecodeInPieces(input, {}).media, (std::vector<kit::Media>{expected, expected}));
    for (size_t cut = 1; cut <= 16 + 128 + 3; cut += cut < 16 ? 1 : 128 + 3)
        EXPECT_EQ(DecodeInPieces(input, {cut}).media, (std::vector<kit::Media>{expected, expected}))
            << cut;
}

TEST(ChunkReaderHeaders, HeaderLengthCountsEveryForm) {
    MessageDecoder decoder;
    RtmpContext context;
    const struct {
        Bytes bytes;
        int length;
    } cases[] = {// clang-format off
        {{}, 0}, {{0x03}, 12}, {{0x43}, 8}, {{0x83}, 4}, {{0xC3}, 1},
        {{0x03, 0xFF, 0xFF}, 12},  // timestamp field not complete yet
        {{0x03, 0xFF, 0xFF, 0xFF}, 16}, {{0x43, 0xFF, 0xFF, 0xFF}, 12},  // extended
        {{0x83, 0xFF, 0xFF, 0xFF}, 8}, {{0x83, 0xFF, 0xFF, 0xFE}, 4},
        {{0x00}, 2}, {{0x01, 0x00}, 3}};  // id bytes still missing
    // clang-format on
    for (const auto& c : cases) {
        ByteBuffer in = Buffer(c.bytes);
        EXPECT_EQ(decoder.HeaderLength(context, in), c.length) << testing::PrintToString(c.bytes);
        EXPECT_EQ(in.Position(), 0);
    }
    // fmt 3 carries the extended field after a header that had one.
    ByteBuffer ext = Buffer({0x83, 0xFF, 0xFF, 0xFF, 0, 0, 0, 5});
    EXPECT_EQ(decoder.DecodeHeader(context, ext), 3);
    EXPECT_TRUE(context.Header(3).extended);
    EXPECT_EQ(decoder.HeaderLength(context, Buffer({0xC3})), 5);
    EXPECT_EQ(decoder.HeaderLength(context, Buffer({0xC4})), 1);
}

}  // namespace
}  // namespace rtmp
