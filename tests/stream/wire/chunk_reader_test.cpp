#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "wire/chunk.h"
#include "wire/decoder_listener.h"
#include "wire/message_decoder.h"
#include "wire/my_exception.h"

namespace rtmp {
namespace {

using Bytes = std::vector<uint8_t>;

// Records what the message handlers report, in order, as comparable texts.
class Recorder : public DecoderListener {
  public:
    struct Media {
        int kind;
        Bytes data;
        uint32_t ts;
        bool operator==(const Media&) const = default;
    };

    void OnCallBack(const char* text, int length) override {
        events.push_back("callback:" + std::string(text, static_cast<size_t>(length)));
    }
    void OnResultLine(const char* line, int length) override {
        events.push_back("result:" + std::string(line, static_cast<size_t>(length)));
    }
    void OnPingRequest(PingMessage& /*answer*/) override { events.push_back("ping"); }
    bool WantsVideo() const override { return true; }
    bool WantsAudio() const override { return true; }
    void OnVideo(const uint8_t* data, int length, uint32_t ts) override {
        media.push_back({MSG_VIDEO, Bytes(data, data + length), ts});
        events.push_back("video@" + std::to_string(ts));
    }
    void OnAudio(const uint8_t* data, int length, uint32_t ts) override {
        media.push_back({MSG_AUDIO, Bytes(data, data + length), ts});
        events.push_back("audio@" + std::to_string(ts));
    }

    std::vector<std::string> events;
    std::vector<Media> media;
};

ByteBuffer BlockOf(const uint8_t* p, size_t n) {
    ByteBuffer b(static_cast<int>(n));
    b.PutBytes(p, static_cast<int>(n));
    b.Flip();
    if (n == 0)
        b.Reset();
    return b;
}
ByteBuffer BlockOf(const Bytes& v) {
    return BlockOf(v.data(), v.size());
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// A plain audio payload: marker 0xB2, then n bytes.
Bytes PlainAudio(int n, uint8_t seed) {
    Bytes v{0xB2};
    for (int i = 0; i < n; ++i)
        v.push_back(static_cast<uint8_t>(seed + i * 13));
    return v;
}
// A plain video payload: marker 0x12, then n bytes.
Bytes PlainVideo(int n, uint8_t seed) {
    Bytes v = PlainAudio(n, seed);
    v[0] = 0x12;
    return v;
}

// Builds a chunk stream with the sending-side writer and the events a decoder must report.
class StreamBuilder {
  public:
    void Media(int kind, int delta, const Bytes& body) {
        Write(4, kind, 1, delta, body);
        if (body.size() > 1)
            expected.media.push_back(
                {kind, Bytes(body.begin() + 1, body.end()), writer.RunningTime(4)});
    }
    void Write(int id, int type, int streamId, int delta, const Bytes& body) {
        context.SetHeader(id, type, streamId, delta, static_cast<int>(body.size()));
        ByteBuffer in = BlockOf(body);
        ByteBuffer out;
        writer.WriteMessage(context, id, out, in);
        wire.insert(wire.end(), out.Current(), out.Current() + out.Remaining());
    }
    void Command(int id, int type, const std::vector<const char*>& strings) {
        RtmpPacket packet;
        packet.WriteString(strings[0]);
        packet.WriteNumber(1);
        packet.WriteNull();
        for (size_t i = 1; i < strings.size(); ++i)
            packet.WriteString(strings[i]);
        packet.Flip();
        Bytes body(packet.Current(), packet.Current() + packet.Remaining());
        Write(id, type, 0, 0, body);
    }
    void Ping(int event, uint32_t value) {
        ByteBuffer b;
        b.PutInt16(static_cast<uint32_t>(event));
        b.PutInt32(value);
        b.Flip();
        Write(2, MSG_PING, 0, 0, Bytes(b.Current(), b.Current() + b.Remaining()));
    }

    RtmpContext context;
    ChunkWriter writer;
    Bytes wire;
    Recorder expected;  // media only
};

// What a built stream holds: its bytes, the media a decoder must report and the final time
// of the media chunk stream.
struct Built {
    Bytes wire;
    std::vector<Recorder::Media> media;
    uint32_t mediaTime = 0;
};

Built Take(StreamBuilder& s) {
    return {s.wire, s.expected.media, s.writer.RunningTime(4)};
}

// A stream with every header type, several chunk streams, multi-chunk bodies, a zero-length
// message and commands in between.
Built MixedStream() {
    StreamBuilder s;
    s.Command(3, MSG_INVOKE, {"_result"});
    s.Media(MSG_AUDIO, 0, PlainAudio(9, 1));
    s.Media(MSG_AUDIO, 23, PlainAudio(9, 2));
    s.Media(MSG_AUDIO, 23, PlainAudio(9, 3));
    s.Media(MSG_VIDEO, 0, PlainVideo(299, 4));
    s.Media(MSG_VIDEO, 40, PlainVideo(299, 5));
    s.Ping(6, 1234);
    s.Media(MSG_AUDIO, 5, PlainAudio(128, 6));
    s.Media(MSG_VIDEO, 10000, PlainVideo(127, 7));
    s.Media(MSG_VIDEO, 33, PlainVideo(1, 8));
    s.Command(6, MSG_NOTIFY, {"CallBack", "hello"});
    s.Media(MSG_VIDEO, 7, {});
    s.Media(MSG_AUDIO, 3, PlainAudio(255, 9));
    s.Media(MSG_AUDIO, 3, PlainAudio(255, 10));
    return Take(s);
}

// A stream whose media chunk stream runs past the 24-bit timestamp range.
Built ExtendedStream() {
    StreamBuilder s;
    while (s.writer.RunningTime(4) < 0xFFFFFF - 20000) {
        s.Media(MSG_AUDIO, 10000, PlainAudio(1, 0));
    }
    s.wire.clear();
    s.expected.media.clear();
    s.Ping(0, 1);  // another stream id: the next media header is type 0
    for (int i = 0; i < 4; ++i)
        s.Media(MSG_VIDEO, 7000, PlainVideo(300, static_cast<uint8_t>(i)));
    s.Media(MSG_VIDEO, 7000, PlainVideo(20, 9));
    s.Ping(0, 2);
    s.Media(MSG_VIDEO, 40, PlainVideo(300, 11));
    EXPECT_GT(s.writer.RunningTime(4), 0xFFFFFFu);
    return Take(s);
}

struct Decoded {
    std::vector<std::string> events;
    std::vector<Recorder::Media> media;
};

Decoded DecodeInPieces(const Bytes& wire, const std::vector<size_t>& cuts) {
    Recorder rec;
    MessageDecoder decoder(&rec);
    RtmpContext context;
    size_t from = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(wire.size());
    for (size_t end : ends) {
        ByteBuffer block = BlockOf(wire.data() + from, end - from);
        decoder.DecodeReciveUnite(context, block);
        from = end;
    }
    EXPECT_EQ(decoder.Leftover().Remaining(), 0);
    for (int id = 0; id < kChannelCount; ++id)
        EXPECT_EQ(context.Chunks(id).Position(), 0) << "chunk stream " << id;
    return {rec.events, rec.media};
}

TEST(ChunkReaderStream, WholeStreamDecodesToWhatWasWritten) {
    const Built s = MixedStream();
    const Decoded whole = DecodeInPieces(s.wire, {});
    EXPECT_EQ(whole.media, s.media);
    // Commands and the ping request arrive between the media, in order.
    EXPECT_EQ(whole.events.front().rfind("result:", 0), 0u);
    EXPECT_EQ(whole.events.back(), "audio@" + std::to_string(s.mediaTime));
    EXPECT_NE(std::find(whole.events.begin(), whole.events.end(), "ping"), whole.events.end());
    EXPECT_NE(std::find(whole.events.begin(), whole.events.end(), "callback:hello"),
              whole.events.end());
    EXPECT_NE(std::find(whole.events.begin(), whole.events.end(),
                        "result:CallResult=Vistrel.Call.Success"),
              whole.events.end());
    // The zero-length message dispatches nothing but its delta counts.
    EXPECT_EQ(whole.media[whole.media.size() - 2].ts, 0u + 23 + 23 + 40 + 5 + 10000 + 33 + 7 + 3);
}

TEST(ChunkReaderStream, EveryCutIntoTwoBlocksGivesTheSameMessages) {
    for (const Built& s : {MixedStream(), ExtendedStream()}) {
        const Decoded whole = DecodeInPieces(s.wire, {});
        ASSERT_EQ(whole.media, s.media);
        for (size_t cut = 0; cut <= s.wire.size(); ++cut) {
            const Decoded parts = DecodeInPieces(s.wire, {cut});
            ASSERT_EQ(parts.events, whole.events) << "cut at " << cut;
            ASSERT_EQ(parts.media, whole.media) << "cut at " << cut;
        }
    }
}

TEST(ChunkReaderStream, RandomPiecesGiveTheSameMessages) {
    std::mt19937 rng(20140107);
    for (const Built& s : {MixedStream(), ExtendedStream()}) {
        const Decoded whole = DecodeInPieces(s.wire, {});
        for (int round = 0; round < 200; ++round) {
            std::vector<size_t> cuts;
            std::uniform_int_distribution<size_t> step(0, round % 2 == 0 ? 8 : 200);
            for (size_t at = step(rng); at < s.wire.size(); at += step(rng))
                cuts.push_back(at);
            const Decoded parts = DecodeInPieces(s.wire, cuts);
            ASSERT_EQ(parts.events, whole.events) << "round " << round;
            ASSERT_EQ(parts.media, whole.media) << "round " << round;
        }
    }
}

TEST(ChunkReaderStream, BlockPositionIsUnchanged) {
    const Built s = MixedStream();
    Bytes withPrefix = Cat({{0xEE, 0xEE, 0xEE}, s.wire});
    ByteBuffer block = BlockOf(withPrefix);
    block.SetPosition(3);
    Recorder rec;
    MessageDecoder decoder(&rec);
    RtmpContext context;
    decoder.DecodeReciveUnite(context, block);
    EXPECT_EQ(block.Position(), 3);
    EXPECT_EQ(rec.media, s.media);
}

TEST(ChunkReaderBlocks, EndInsideHeaderKeepsTheWholePart) {
    const Bytes msg = {0x04, 0, 0, 9, 0, 0, 3, 0x08, 1, 0, 0, 0, 0xB2, 0x10, 0x11};
    Recorder rec;
    MessageDecoder decoder(&rec);
    RtmpContext context;
    ByteBuffer first = BlockOf(msg.data(), 5);
    decoder.DecodeReciveUnite(context, first);
    EXPECT_EQ(decoder.Leftover().Remaining(), 5);
    EXPECT_TRUE(rec.media.empty());
    EXPECT_EQ(context.Header(4).amfSize, 0);  // nothing taken from the partial header
    ByteBuffer rest = BlockOf(msg.data() + 5, msg.size() - 5);
    decoder.DecodeReciveUnite(context, rest);
    ASSERT_EQ(rec.media.size(), 1u);
    EXPECT_EQ(rec.media[0], (Recorder::Media{MSG_AUDIO, {0x10, 0x11}, 9}));
    EXPECT_EQ(decoder.Leftover().Remaining(), 0);
}

TEST(ChunkReaderBlocks, EndInsideChunkDataRewindsToItsHeader) {
    StreamBuilder s;
    s.Media(MSG_AUDIO, 0, PlainAudio(299, 1));
    s.Media(MSG_AUDIO, 40, PlainAudio(299, 2));  // type 2: its delta must count once
    const size_t firstLength = 12 + 128 + 1 + 128 + 1 + 44;
    ASSERT_EQ(s.wire.size(), firstLength + 4 + 128 + 1 + 128 + 1 + 44);

    Recorder rec;
    MessageDecoder decoder(&rec);
    RtmpContext context;
    // Cut 50 bytes into the second chunk's data.
    const size_t cut = 12 + 128 + 1 + 50;
    ByteBuffer a = BlockOf(s.wire.data(), cut);
    decoder.DecodeReciveUnite(context, a);
    EXPECT_EQ(context.Chunks(4).Position(), 128);
    ASSERT_EQ(decoder.Leftover().Remaining(), 51);
    EXPECT_EQ(decoder.Leftover().Current()[0], 0xC4);

    // Cut again inside the second message's first chunk, after its type-2 header.
    const size_t cut2 = firstLength + 4 + 100;
    ByteBuffer b = BlockOf(s.wire.data() + cut, cut2 - cut);
    decoder.DecodeReciveUnite(context, b);
    ASSERT_EQ(rec.media.size(), 1u);
    EXPECT_EQ(decoder.Leftover().Remaining(), 104);
    EXPECT_EQ(decoder.Leftover().Current()[0], 0x84);

    ByteBuffer c = BlockOf(s.wire.data() + cut2, s.wire.size() - cut2);
    decoder.DecodeReciveUnite(context, c);
    EXPECT_EQ(rec.media, s.expected.media);
    ASSERT_EQ(rec.media.size(), 2u);
    EXPECT_EQ(rec.media[1].ts, 40u);
}

class ChunkReaderErrors : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/chunk_reader_testXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_EQ(setenv("VISTREL_LOG_DIR", dir_.c_str(), 1), 0);
    }
    void TearDown() override {
        unsetenv("VISTREL_LOG_DIR");
        std::filesystem::remove_all(dir_);
    }
    std::string ErrorFile() const {
        std::ifstream f(dir_ + "/Vistrel.err", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    std::string dir_;
};

TEST_F(ChunkReaderErrors, ChunkStreamTwelveThrowsAndWritesTheErrorFile) {
    const Bytes good = {0x04, 0, 0, 9, 0, 0, 3, 0x08, 1, 0, 0, 0, 0xB2, 0x10, 0x11};
    const Bytes input = Cat({good, {0x0C, 0, 0, 0}});
    Recorder rec;
    MessageDecoder decoder(&rec);
    RtmpContext context;
    ByteBuffer block = BlockOf(input);
    try {
        decoder.DecodeReciveUnite(context, block);
        FAIL() << "no exception";
    } catch (MyException e) {
        EXPECT_EQ(e, MYEX_HEADER);
    }
    EXPECT_EQ(block.Position(), 0);
    EXPECT_EQ(rec.media.size(), 1u);  // the message before it was delivered
    const std::string text =
        "::DecodeHeader().Erro. HeaderByte=0x0C,ChannelID=0x0C,StartPos=15=(0*16+15),"
        "byteCount=1,read=1,MSize=128=(8*16+0),buf(pos=15,lim=19,cap=512)";
    const std::string expected = text + std::string(input.begin(), input.end());
    EXPECT_EQ(ErrorFile(), expected);
}

TEST_F(ChunkReaderErrors, LargeIdsInTwoAndThreeByteFormsThrow) {
    for (const Bytes& input : {Bytes{0x00, 0x00}, Bytes{0x41, 0x00, 0x01}, Bytes{0xC0, 0x05}}) {
        MessageDecoder decoder;
        RtmpContext context;
        ByteBuffer block = BlockOf(input);
        EXPECT_THROW(decoder.DecodeReciveUnite(context, block), MyException);
        EXPECT_EQ(block.Position(), 0);
    }
    // Only the first byte of a two-byte form: the id is not known yet, so it waits.
    MessageDecoder decoder;
    RtmpContext context;
    ByteBuffer part = BlockOf(Bytes{0x00});
    decoder.DecodeReciveUnite(context, part);
    EXPECT_EQ(decoder.Leftover().Remaining(), 1);
    ByteBuffer rest = BlockOf(Bytes{0x00});
    EXPECT_THROW(decoder.DecodeReciveUnite(context, rest), MyException);
}

TEST_F(ChunkReaderErrors, DecodeHeaderTakesTheSameErrorPath) {
    MessageDecoder decoder;
    RtmpContext context;
    ByteBuffer in = BlockOf(Bytes{0x4D, 0, 0, 1, 0, 0, 1, 8});
    EXPECT_THROW(decoder.DecodeHeader(context, in), MyException);
    EXPECT_EQ(ErrorFile().rfind("::DecodeHeader().Erro. HeaderByte=0x4D,ChannelID=0x0D", 0), 0u);
}

TEST_F(ChunkReaderErrors, LengthShrunkBelowGatheredBytesIsSizeError) {
    StreamBuilder s;
    s.Media(MSG_AUDIO, 0, PlainAudio(299, 1));
    // First chunk of the 300-byte message, then a type-1 header saying 100 bytes.
    Bytes input(s.wire.begin(), s.wire.begin() + 12 + 128);
    input.insert(input.end(), {0x44, 0, 0, 0, 0, 0, 100, 0x08});
    input.insert(input.end(), 100, 0xAA);
    MessageDecoder decoder;
    RtmpContext context;
    ByteBuffer block = BlockOf(input);
    try {
        decoder.DecodeReciveUnite(context, block);
        FAIL() << "no exception";
    } catch (MyException e) {
        EXPECT_EQ(e, MYEX_SIZE);
    }
    // A zero length in the middle of a message is the same fault.
    Bytes zero(s.wire.begin(), s.wire.begin() + 12 + 128);
    zero.insert(zero.end(), {0x44, 0, 0, 0, 0, 0, 0, 0x08});
    MessageDecoder decoder2;
    RtmpContext context2;
    ByteBuffer block2 = BlockOf(zero);
    EXPECT_THROW(decoder2.DecodeReciveUnite(context2, block2), MyException);
}

TEST(ChunkReaderChunkSize, LargerChunksAreGatheredInOneStep) {
    const Bytes setSize = {0x02, 0, 0, 0, 0, 0, 4, 0x01, 0, 0, 0, 0, 0x00, 0x00, 0x10, 0x00};
    const Bytes body = PlainAudio(4999, 3);
    const Bytes header = {0x04, 0, 0, 50, 0, 0x13, 0x88, 0x08, 1, 0, 0, 0};
    Bytes first = Cat({setSize, header});
    first.insert(first.end(), body.begin(), body.begin() + 4096);
    Bytes second = {0xC4};
    second.insert(second.end(), body.begin() + 4096, body.end());

    Recorder rec;
    MessageDecoder decoder(&rec);
    RtmpContext context;
    ByteBuffer a = BlockOf(first);
    decoder.DecodeReciveUnite(context, a);
    EXPECT_EQ(decoder.ChunkSize(), 4096);
    EXPECT_EQ(context.Chunks(4).Position(), 4096);
    EXPECT_EQ(decoder.Leftover().Remaining(), 0);
    ByteBuffer b = BlockOf(second);
    decoder.DecodeReciveUnite(context, b);
    ASSERT_EQ(rec.media.size(), 1u);
    EXPECT_EQ(rec.media[0], (Recorder::Media{MSG_AUDIO, Bytes(body.begin() + 1, body.end()), 50}));
}

TEST(ChunkReaderChunkSize, ImpossibleSizesBreakTheStream) {
    for (uint32_t value : {0u, 0xFFFFFFFFu, 0x80000000u, 16u * 1024 * 1024 + 1}) {
        Bytes msg = {0x02, 0, 0, 0, 0, 0, 4, 0x01, 0, 0, 0, 0};
        msg.push_back(static_cast<uint8_t>(value >> 24));
        msg.push_back(static_cast<uint8_t>(value >> 16));
        msg.push_back(static_cast<uint8_t>(value >> 8));
        msg.push_back(static_cast<uint8_t>(value));
        MessageDecoder decoder;
        RtmpContext context;
        ByteBuffer block = BlockOf(msg);
        try {
            decoder.DecodeReciveUnite(context, block);
            ADD_FAILURE() << "no exception for " << value;
        } catch (MyException e) {
            EXPECT_EQ(e, MYEX_CHUNKSIZE) << value;
        }
        EXPECT_EQ(decoder.ChunkSize(), 128);
    }
    MessageDecoder decoder;
    ByteBuffer largest = BlockOf(Bytes{0x01, 0x00, 0x00, 0x00});
    EXPECT_TRUE(decoder.DecodeChunkSize(largest));
    EXPECT_EQ(decoder.ChunkSize(), kMaxInChunkSize);
}

TEST(ChunkReaderChunkSize, ShortBodyIsRefused) {
    MessageDecoder decoder;
    ByteBuffer body = BlockOf(Bytes{0x00, 0x10, 0x00});
    EXPECT_FALSE(decoder.DecodeChunkSize(body));
    EXPECT_EQ(body.Remaining(), 3);
    EXPECT_EQ(decoder.ChunkSize(), 128);
    // The same through the stream: the stream goes on with the old size.
    const Bytes msg = {0x02, 0, 0, 0, 0, 0, 3, 0x01, 0, 0, 0, 0, 0x00, 0x10, 0x00};
    RtmpContext context;
    ByteBuffer block = BlockOf(msg);
    decoder.DecodeReciveUnite(context, block);
    EXPECT_EQ(decoder.ChunkSize(), 128);
}

TEST(ChunkReaderTimestamps, TypeThreeStartingAMessageReusesHeaderAndAddsDelta) {
    const Bytes input = {
        0x05, 0x00, 0x03, 0xE8, 0,    0, 3, 0x08, 1, 0, 0, 0, 0xB2, 1, 2,  // ts 1000
        0xC5, 0xB2, 3,    4,                                               // +0 after type 0
        0x85, 0,    0,    40,   0xB2, 5, 6,                                // +40
        0xC5, 0xB2, 7,    8,                                               // +40
        0xC5, 0xB2, 9,    10,                                              // +40
    };
    Recorder rec;
    MessageDecoder decoder(&rec);
    RtmpContext context;
    ByteBuffer block = BlockOf(input);
    decoder.DecodeReciveUnite(context, block);
    const std::vector<Recorder::Media> expected = {
        {MSG_AUDIO, {1, 2}, 1000}, {MSG_AUDIO, {3, 4}, 1000},  {MSG_AUDIO, {5, 6}, 1040},
        {MSG_AUDIO, {7, 8}, 1080}, {MSG_AUDIO, {9, 10}, 1120},
    };
    EXPECT_EQ(rec.media, expected);
    EXPECT_EQ(context.Header(5).amfSize, 3);
    EXPECT_EQ(context.Header(5).streamId, 1);
    EXPECT_EQ(context.Header(5).ts, 40);
    EXPECT_EQ(context.Header(5).clock, 1120u);
}

// A type-0 header with an extended timestamp, a 300-byte message whose continuation chunks
// repeat it, then a type-3 new message on the same chunk stream (also repeating it).
Bytes ExtendedMessages() {
    const Bytes ext = {0x12, 0x34, 0x56, 0x78};
    Bytes body = PlainAudio(299, 1);
    Bytes out = Cat({{0x04, 0xFF, 0xFF, 0xFF, 0, 0x01, 0x2C, 0x08, 1, 0, 0, 0}, ext});
    for (int m = 0; m < 2; ++m) {
        if (m == 1)
            out.insert(out.end(), {0xC4, 0x12, 0x34, 0x56, 0x78});
        for (size_t at = 0; at < body.size(); at += 128) {
            if (at > 0)
                out.insert(out.end(), {0xC4, 0x12, 0x34, 0x56, 0x78});
            out.insert(out.end(), body.begin() + static_cast<long>(at),
                       body.begin() + static_cast<long>(std::min(at + 128, body.size())));
        }
    }
    return out;
}

TEST(ChunkReaderTimestamps, ExtendedTimestampIsReadInEveryChunk) {
    const Bytes input = ExtendedMessages();
    const Decoded whole = DecodeInPieces(input, {});
    ASSERT_EQ(whole.media.size(), 2u);
    EXPECT_EQ(whole.media[0].ts, 0x12345678u);
    EXPECT_EQ(whole.media[1].ts, 0x12345678u);
    EXPECT_EQ(whole.media[0].data, whole.media[1].data);
    const Bytes body = PlainAudio(299, 1);
    EXPECT_EQ(whole.media[0].data, Bytes(body.begin() + 1, body.end()));
}

TEST(ChunkReaderTimestamps, ExtendedTimestampSplitAcrossReceives) {
    const Bytes input = ExtendedMessages();
    const Decoded whole = DecodeInPieces(input, {});
    for (size_t cut = 1; cut < 16; ++cut) {
        Recorder rec;
        MessageDecoder decoder(&rec);
        RtmpContext context;
        ByteBuffer a = BlockOf(input.data(), cut);
        decoder.DecodeReciveUnite(context, a);
        EXPECT_EQ(decoder.Leftover().Remaining(), static_cast<int>(cut)) << cut;
        EXPECT_EQ(context.Chunks(4).Position(), 0) << cut;
        ByteBuffer b = BlockOf(input.data() + cut, input.size() - cut);
        decoder.DecodeReciveUnite(context, b);
        EXPECT_EQ(rec.media, whole.media) << cut;
    }
    // Continuation chunk cut inside its extended field.
    const size_t cont = 16 + 128 + 3;
    const Decoded parts = DecodeInPieces(input, {cont});
    EXPECT_EQ(parts.media, whole.media);
}

TEST(ChunkReaderHeaders, HeaderLengthCountsEveryForm) {
    MessageDecoder decoder;
    RtmpContext context;
    struct Case {
        Bytes bytes;
        int length;
    };
    const Case cases[] = {
        {{}, 0},
        {{0x03}, 12},
        {{0x43}, 8},
        {{0x83}, 4},
        {{0xC3}, 1},
        {{0x03, 0xFF, 0xFF}, 12},        // timestamp field not complete yet
        {{0x03, 0xFF, 0xFF, 0xFF}, 16},  // extended
        {{0x43, 0xFF, 0xFF, 0xFF}, 12},
        {{0x83, 0xFF, 0xFF, 0xFF}, 8},
        {{0x83, 0xFF, 0xFF, 0xFE}, 4},
        {{0x00}, 2},  // id byte still missing
        {{0x01, 0x00}, 3},
    };
    for (const Case& c : cases) {
        ByteBuffer in = BlockOf(c.bytes);
        EXPECT_EQ(decoder.HeaderLength(context, in), c.length) << c.bytes.size();
        EXPECT_EQ(in.Position(), 0);
    }
    // fmt 3 carries the extended field once its chunk stream's last header had one.
    ByteBuffer ext = BlockOf(Bytes{0x83, 0xFF, 0xFF, 0xFF, 0, 0, 0, 5});
    EXPECT_EQ(decoder.DecodeHeader(context, ext), 3);
    EXPECT_TRUE(context.Header(3).extended);
    ByteBuffer three = BlockOf(Bytes{0xC3});
    EXPECT_EQ(decoder.HeaderLength(context, three), 5);
    ByteBuffer other = BlockOf(Bytes{0xC4});
    EXPECT_EQ(decoder.HeaderLength(context, other), 1);
}

TEST(ChunkReaderHeaders, DecodeHeaderFillsTheRecordAndClock) {
    MessageDecoder decoder;
    RtmpContext context;
    ByteBuffer empty = BlockOf(Bytes{});
    EXPECT_EQ(decoder.DecodeHeader(context, empty), -1);

    ByteBuffer in =
        BlockOf(Bytes{0x06, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x09, 0x01, 0x02, 0,    0,
                      0x46, 0x00, 0x00, 0x21, 0x00, 0x00, 0x10, 0x08, 0x86, 0x00, 0x00, 0x0A});
    EXPECT_EQ(decoder.DecodeHeader(context, in), 6);
    const ChannelHeader& h = context.Header(6);
    EXPECT_EQ(h.ts, 256);
    EXPECT_EQ(h.amfSize, 512);
    EXPECT_EQ(h.amfType, MSG_VIDEO);
    EXPECT_EQ(h.streamId, 0x0201);
    EXPECT_EQ(h.clock, 256u);
    EXPECT_EQ(in.Position(), 12);
    EXPECT_EQ(decoder.DecodeHeader(context, in), 6);
    EXPECT_EQ(h.ts, 0x21);
    EXPECT_EQ(h.amfSize, 16);
    EXPECT_EQ(h.amfType, MSG_AUDIO);
    EXPECT_EQ(h.streamId, 0x0201);
    EXPECT_EQ(h.clock, 256u + 0x21);
    EXPECT_EQ(decoder.DecodeHeader(context, in), 6);
    EXPECT_EQ(h.clock, 256u + 0x21 + 10);
    EXPECT_EQ(h.delta, 10u);
    EXPECT_EQ(in.Remaining(), 0);

    // An incomplete header is not read.
    ByteBuffer part = BlockOf(Bytes{0x06, 0x00, 0x01});
    EXPECT_EQ(decoder.DecodeHeader(context, part), -1);
    EXPECT_EQ(part.Position(), 0);
}

}  // namespace
}  // namespace rtmp
