#include "wire/message_decoder.h"

#include <gtest/gtest.h>

#include "stream_kit.h"
#include "wire/chunk.h"
#include "wire/my_exception.h"
#include "wire/ping_message.h"

namespace rtmp {
namespace {

using namespace kit;
using Strings = std::vector<std::string>;

Bytes FlvTag(uint8_t type, uint32_t time, const Bytes& data) {
    return Cat({B(type), Be(data.size(), 3), Be(time & 0xFFFFFF, 3),
                B(uint8_t(time >> 24), 0, 0, 0), data, Be(data.size() + 11, 4)});
}

class MessageDecoderTest : public ::testing::Test {
  protected:
    void Decode(int type, int streamId, const Bytes& body, uint32_t clock = 0) {
        ByteBuffer buffer = Buffer(body);
        ChannelHeader header{.channelId = 3,
                             .ts = static_cast<int32_t>(clock),
                             .amfSize = static_cast<int32_t>(body.size()),
                             .amfType = type,
                             .streamId = streamId,
                             .clock = clock};
        decoder.DecodeAMF(context, header, buffer);
    }

    Recorder rec;
    MessageDecoder decoder{&rec};
    RtmpContext context;
};

TEST(WireTables, AacConfigAndAdtsLookupsAndThePingClock) {
    uint8_t a2 = 0, a3 = 0, c0 = 0, c1 = 0;  // the rows map both ways; others pass through
    AacConfigToAdts(0x15, 0x88, &a2, &a3);
    EXPECT_EQ(a2 << 8 | a3, 0x6C40);
    AacConfigToAdts(0x77, 0x66, &a2, &a3);
    EXPECT_EQ(a2 << 8 | a3, 0x7766);
    for (const AacHeaderRow& row : kAacHeaderTable) {
        ASSERT_TRUE(AacAdtsToConfig(row.adts2, row.adts3, &c0, &c1));
        EXPECT_EQ(std::pair(c0, c1), std::pair(row.config0, row.config1));
        AacConfigToAdts(c0, c1, &a2, &a3);
        EXPECT_EQ(std::pair(a2, a3), std::pair(row.adts2, row.adts3));
    }
    // The two profile bits (top of byte 2) do not take part; byte 3 must be equal.
    ASSERT_TRUE(AacAdtsToConfig(0x90, 0x80, &c0, &c1));
    EXPECT_EQ(c0 << 8 | c1, 0x1210);
    c0 = c1 = 0xEE;
    EXPECT_FALSE(AacAdtsToConfig(0x50, 0x81, &c0, &c1));
    EXPECT_FALSE(AacAdtsToConfig(0x44, 0x80, &c0, &c1));
    EXPECT_EQ(c0 << 8 | c1, 0xEEEE);
    // The ping clock: UTC+8 seconds modulo four million, times a thousand.
    EXPECT_EQ(PingClockValue(0), 28800000u);
    EXPECT_EQ(PingClockValue(4000000LL * 500 - 28800 - 1), 3999999000u);  // largest
    EXPECT_EQ(PingClockValue(4000000LL * 500 - 28800), 0u);
    PingMessage m(7, 1712345678);
    EXPECT_EQ(Readable(m), (Bytes{0x00, 0x07, 0x16, 0x52, 0x14, 0xB0}));  // event 7, 374478000
    EXPECT_STREQ(m.TimeText(), "2024-04-06 03:34:38");                    // 19:34:38 UTC
}

TEST_F(MessageDecoderTest, EachMessageReportsItsEventsInOrder) {
    const Bytes request = {0x00, 0x06, 0x00, 0x00, 0x04, 0xD2};  // event 6, value 1234
    // onStatus fails on level error only, _error whatever the level.
    const auto status = [](const std::string& name, const std::string& level, bool ok) {
        return std::pair(
            Command(name, 2, {{"level", level}, {"code", "X"}}),
            Strings{"result:InvokeName=" + name, "result:InvokeID=2", "result:Param=level",
                    "result:level=" + level, "result:code=X",
                    std::string("result:CallResult=Vistrel.Call.") + (ok ? "Success" : "Failed")});
    };
    const struct {
        int type, streamId;
        std::pair<Bytes, Strings> bodyAndEvents;
    } cases[] = {
        {MSG_INVOKE,
         0,
         {Cat({Str("_result"), Num(1), B(0x03), StrProp("fmsVer", "FMS/3,5,7,7009"),
               NumProp("capabilities", 31), kEnd,
               Obj({{"level", "status"}, {"code", "NetConnection.Connect.Success"}})}),
          {"result:InvokeName=_result", "result:InvokeID=1", "result:fmsVer=FMS/3,5,7,7009",
           "result:capabilities=31", "result:Param=level", "result:level=status",
           "result:code=NetConnection.Connect.Success", "result:CallResult=Vistrel.Call.Success"}}},
        {MSG_INVOKE, 1, status("onStatus", "error", false)},
        {MSG_INVOKE, 1, status("onStatus", "status", true)},
        {MSG_INVOKE, 1, status("onStatus", "warning", true)},
        {MSG_INVOKE, 1, status("_error", "status", false)},
        {MSG_INVOKE, 0, {Command("onBWDone", 0), {}}},  // unknown: nothing reported
        {MSG_PING, 0, {request, {"ping"}}},
        {MSG_PING, 0, {{0x00, 0x00, 0x00, 0x00, 0x00, 0x01}, {}}},
        {MSG_SERVER_BW, 0, {{0x00, 0x26, 0x25, 0xA0}, {"window:2500000"}}},
        {MSG_SERVER_BW, 0, {{0x00, 0x26, 0x25}, {}}},  // short: ignored
        // clang-format off
        {MSG_BYTES_READ, 1, {{0x00, 0x50, 0x00, 0x00}, {}}}, {MSG_BYTES_READ, 1, {{0x01, 0x02}, {}}},
        {MSG_CLIENT_BW, 1, {{0x00, 0x1E, 0x84, 0x80, 0x02}, {}}}, {MSG_CLIENT_BW, 1, {{0x02}, {}}},
        {MSG_FLEX_STREAM_SEND, 1, {{0x00}, {}}}, {MSG_FLEX_SHARED_OBJECT, 1, {{0x00}, {}}},
        {MSG_FLEX_MESSAGE, 1, {{0x00}, {}}}, {MSG_SHARED_OBJECT, 1, {{0x00}, {}}},
        {7, 1, {{0x01, 0x02, 0x03}, {}}},
        // clang-format on
    };
    for (const auto& c : cases) {
        rec.Clear();
        EXPECT_NO_THROW(Decode(c.type, c.streamId, c.bodyAndEvents.first));
        EXPECT_EQ(rec.events, c.bodyAndEvents.second) << c.type;
    }
    rec.Clear();
    for (size_t cut = 0; cut < request.size(); ++cut)
        EXPECT_NO_THROW(Decode(MSG_PING, 0, Head(request, cut))) << cut;
    EXPECT_TRUE(rec.events.empty());
}

TEST_F(MessageDecoderTest, NotifyIsACallBackOnStreamZeroAndMetadataElsewhere) {
    Decode(MSG_NOTIFY, 0, Cat({Command("CallBack", 0), Str("hello from the server")}));
    EXPECT_EQ(rec.events, Strings{"callback:hello from the server"});
    EXPECT_EQ(
        Entries(context.invokeList),
        (Props{{"InvokeName", "CallBack"}, {"InvokeID", "0"}, {"Param", "hello from the server"}}));
    context.invokeList.Clear();

    Decode(MSG_NOTIFY, 1,
           Cat({Str("onMetaData"), B(0x08), Be(2, 4), NumProp("width", 640), NumProp("height", 480),
                kEnd}));
    EXPECT_EQ(rec.events.size(), 1u);
    EXPECT_EQ(context.invokeList.Count(), 0);
    EXPECT_EQ(Entries(context.metadataList), (Props{{"width", "640"}, {"height", "480"}}));
    // The next metadata message replaces the list.
    Decode(MSG_NOTIFY, 1, Cat({Str("onMetaData"), B(0x03), Name("framerate"), Num(25), kEnd}));
    EXPECT_EQ(Entries(context.metadataList), (Props{{"framerate", "25"}}));
}

TEST_F(MessageDecoderTest, EveryCutOfAReplyIsDroppedOrReadThrough) {
    const Bytes head = Cat({Str("_result"), Num(1), kNull, B(0x03)});
    const Bytes level = Cat({Name("level"), Str("status")});
    const Bytes code = Cat({Name("code"), Str("NetConnection.Connect.Success")});
    const Bytes body = Cat({head, level, code, kEnd});
    const size_t levelStart = head.size(), codeStart = levelStart + level.size();
    const size_t codeEnd = codeStart + code.size();
    // Nothing escapes; a reply is reported only when read through, and a cut inside a property
    // (past the three bytes that tell it from an end marker) drops it.
    for (size_t cut = 0; cut <= body.size(); ++cut) {
        SCOPED_TRACE(cut);
        rec.Clear();
        context.invokeList.Clear();
        EXPECT_NO_THROW(Decode(MSG_INVOKE, 0, Head(body, cut)));
        if (!rec.events.empty()) {
            EXPECT_EQ(rec.events.back(), "result:CallResult=Vistrel.Call.Success");
        }
        if ((cut >= levelStart + 3 && cut < codeStart) || (cut >= codeStart + 3 && cut < codeEnd)) {
            EXPECT_TRUE(rec.events.empty());
            EXPECT_EQ(context.invokeList.Count(), 0);
        }
    }
    const Bytes meta = Cat({Str("onMetaData"), B(0x03), Name("width"), Num(640), kEnd});
    for (size_t cut = 1; cut + 3 < meta.size(); ++cut) {
        EXPECT_NO_THROW(Decode(MSG_NOTIFY, 1, Head(meta, cut))) << cut;
        EXPECT_STREQ(context.metadataList.Find("width"), "") << cut;
    }
    const Bytes deep = Cat({Str("_result"), Num(1), kNull, Repeat(Cat({B(0x03), Name("a")}), 64)});
    EXPECT_THROW(Decode(MSG_INVOKE, 0, Cat({deep, kNull})), MyException);
}

TEST_F(MessageDecoderTest, AudioTemplateAndBodiesOfEveryKind) {
    Decode(MSG_AUDIO, 1, {0xAF, 0x01, 0x01, 0x02});  // a frame before any header: dropped
    Decode(MSG_AUDIO, 1, kAacConfig);
    EXPECT_EQ(Readable(decoder.AdtsHeader()), (Bytes{0xFF, 0xF1, 0x50, 0x80, 0x28, 0x1F, 0xFC}));
    EXPECT_TRUE(rec.media.empty());
    // A header cut short keeps the old template.
    Decode(MSG_AUDIO, 1, {0xAF, 0x00, 0x13, 0x90});
    Decode(MSG_AUDIO, 1, {0xAF, 0x00, 0x12});
    EXPECT_EQ(Slice(Readable(decoder.AdtsHeader()), 2, 2), (Bytes{0x5C, 0x80}));
    const Bytes frame3 = {0xFF, 0xF1, 0x50, 0x80, 0x01, 0x5F, 0xFC, 0xA1, 0xA2, 0xA3};
    const struct {
        Bytes body;
        Bytes delivered;  // empty: nothing
    } cases[] = {
        {{0x0F, 0x00, 0x00, 0x00, 0x00}, {}},  // audio size message: swallowed
        {{0x0F, 0x00, 0x00, 0x00, 0x00, 0xAA, 0xBB}, {}},
        {{0x0F, 0x00, 0x00, 0x00, 0x01}, {0xFF, 0xF1, 0x50, 0x80, 0x01, 0x5F, 0xFC, 0, 0, 1}},
        {Cat({kAacConfig, B(0xAF, 0x01, 0xA1, 0xA2, 0xA3)}), frame3},  // header and frame
        {{0x50, 0x01, 0x02, 0x03}, {0x01, 0x02, 0x03}},  // plain audio loses its marker
        {{0xB2, 0x01, 0x02, 0x03}, {0x01, 0x02, 0x03}},
        {{0x2A}, {}},  // a single byte is nothing
        // Frames get their length in the header's 13 bits: 8184 + 7 is the most.
        {Cat({B(0xAF, 0x01), Pattern(3000, 0, 1)}), Adts(3000)},
        {Cat({B(0xAF, 0x01), Pattern(8184, 0, 1)}), Adts(8184)},
        {Cat({B(0xAF, 0x01), Pattern(8185, 0, 1)}), {}},
    };
    for (const auto& c : cases) {
        rec.Clear();
        Decode(MSG_AUDIO, 1, kAacConfig);
        Decode(MSG_AUDIO, 1, c.body, 77);
        EXPECT_EQ(rec.media, (c.delivered.empty() ? std::vector<Media>{}
                                                  : std::vector<Media>{{8, c.delivered, 77}}))
            << testing::PrintToString(c.body);
    }
    rec.Clear();  // chained headers are bounded
    EXPECT_NO_THROW(Decode(MSG_AUDIO, 1, Cat({Repeat(kAacConfig, 100000), B(0xAF, 0x01, 0x01)})));
    EXPECT_TRUE(rec.media.empty());
}

TEST_F(MessageDecoderTest, KeyFramesArePrecededByTheParameterSetsInStartCodeForm) {
    // Of several SPS the first is kept; the PPS is found behind them.
    const Bytes header =
        Cat({B(0x17, 0x00, 0x00, 0x00, 0x00, 0x01, 0x64, 0x00, 0x1F, 0xFF, 0xE2),
             Be(kSps.size(), 2), kSps, Be(2, 2), B(0x67, 0x42), B(0x01), Be(kPps.size(), 2), kPps});
    // Without an output nothing is delivered and no header is kept.
    rec.wantAudio = rec.wantVideo = false;
    Decode(MSG_AUDIO, 1, kAacConfig);
    Decode(MSG_AUDIO, 1, {0x2A, 0x01, 0x02});
    Decode(MSG_VIDEO, 1, header);
    Decode(MSG_VIDEO, 1, AvcFrame(0x17, {kIdr}));
    EXPECT_EQ(std::pair(decoder.AdtsHeader().Remaining(), decoder.SeqHeader().Remaining()),
              std::pair(0, 0));
    rec.wantAudio = rec.wantVideo = true;
    Decode(MSG_VIDEO, 1, header);
    EXPECT_EQ(Readable(decoder.SeqHeader()), Cat({kSps, B(0, 0, 0, 1), kPps}));
    Decode(MSG_VIDEO, 1, AvcFrame(0x17, {kSei, kIdr}), 3000);
    Decode(MSG_VIDEO, 1, AvcFrame(0x27, {kSlice}), 3040);
    Decode(MSG_VIDEO, 1, AvcFrame(0x17, {kIdr}), 5000);  // the sets are kept for later keys
    Decode(MSG_VIDEO, 1, {0x12, 0x00, 0x00, 0x00, 0x01, 0x09}, 66);  // plain: marker dropped
    EXPECT_EQ(rec.media, (std::vector<Media>{{9, AnnexB({kSps, kPps, kSei, kIdr}), 3000},
                                             {9, AnnexB({kSlice}), 3040},
                                             {9, AnnexB({kSps, kPps, kIdr}), 5000},
                                             {9, {0x00, 0x00, 0x00, 0x01, 0x09}, 66}}));
    rec.Clear();  // ignored and unknown heads deliver nothing
    for (const Bytes& b :
         {Bytes{0x52, 0x00, 0x01}, Bytes{0x52, 0x01, 0x01}, Bytes{0x57, 0x00, 0x01},
          Bytes{0x22, 0x01, 0, 0, 0}, Bytes{0x17, 0x02, 0, 0, 0, 0, 0, 0, 1, 0x09},
          Bytes{0x27, 0x02, 0, 0, 0, 0, 0, 0, 1, 0x09},
          Bytes{0x37, 0x01, 0, 0, 0, 0, 0, 0, 1, 0x09}})
        Decode(MSG_VIDEO, 1, b);
    EXPECT_TRUE(rec.media.empty());
}

TEST_F(MessageDecoderTest, EveryCutOfASequenceHeaderOrKeyFrameIsDropped) {
    const Bytes full = AvcSequenceHeader();
    Decode(MSG_VIDEO, 1, full);
    const Bytes kept = Readable(decoder.SeqHeader());
    EXPECT_EQ(kept, Cat({kSps, B(0, 0, 0, 1), kPps}));
    Bytes lying = full;
    lying[11] = 0x40;  // an SPS length beyond the message
    for (size_t cut = 0; cut <= full.size(); ++cut) {
        EXPECT_NO_THROW(Decode(MSG_VIDEO, 1, cut == full.size() ? lying : Head(full, cut)));
        ASSERT_EQ(Readable(decoder.SeqHeader()), kept) << cut;
    }
    const Bytes key = AvcFrame(0x17, {kSei, kIdr});
    const size_t afterSei = 5 + 4 + kSei.size();
    for (size_t cut = 0; cut <= key.size(); ++cut) {
        rec.Clear();
        EXPECT_NO_THROW(Decode(MSG_VIDEO, 1, Head(key, cut))) << cut;
        const std::vector<Bytes> units = cut == 5            ? std::vector{kSps, kPps}
                                         : cut == afterSei   ? std::vector{kSps, kPps, kSei}
                                         : cut == key.size() ? std::vector{kSps, kPps, kSei, kIdr}
                                                             : std::vector<Bytes>{};
        EXPECT_EQ(rec.media, (units.empty() ? std::vector<Media>{}
                                            : std::vector<Media>{{9, AnnexB(units), 0}}))
            << cut;
    }
    rec.Clear();
    Bytes lyingUnit = AvcFrame(0x27, {kSlice});
    lyingUnit[5] = 0xFF;  // a unit length far beyond the message
    EXPECT_NO_THROW(Decode(MSG_VIDEO, 1, lyingUnit));
    EXPECT_TRUE(rec.media.empty());
}

// Tags are timed from the message's time and their first tag; a cut delivers only whole tags.
TEST_F(MessageDecoderTest, AggregateMessagesDeliverTheirTags) {
    const Bytes first = FlvTag(9, 1000, AvcFrame(0x27, {kSlice}));
    const Bytes full = Cat({first, FlvTag(9, 1040, AvcFrame(0x27, {kIdr}))});
    Decode(MSG_AUDIO, 1, kAacConfig);
    Decode(MSG_AGGREGATE, 1, full, 90000);
    Decode(MSG_AGGREGATE, 1, FlvTag(9, 1080, AvcFrame(0x27, {kSlice})), 90080);  // its own base
    Decode(MSG_AGGREGATE, 1,
           Cat({FlvTag(8, 0x01000000 + 2000, B(0xAF, 0x01, 0x11, 0x22)),
                FlvTag(18, 0x01000000 + 2005, B(0x02, 0x00, 0x01, 0x41)),
                FlvTag(9, 0x01000000 + 2010, B(0x12, 0x33, 0x44))}),
           500);
    EXPECT_EQ(rec.media,
              (std::vector<Media>{{9, AnnexB({kSlice}), 90000},
                                  {9, AnnexB({kIdr}), 90040},
                                  {9, AnnexB({kSlice}), 90080},
                                  {8, {0xFF, 0xF1, 0x50, 0x80, 0x01, 0x3F, 0xFC, 0x11, 0x22}, 500},
                                  {9, {0x33, 0x44}, 510}}));
    for (size_t cut = 0; cut <= full.size(); ++cut) {
        rec.Clear();
        EXPECT_NO_THROW(Decode(MSG_AGGREGATE, 1, Head(full, cut))) << cut;
        EXPECT_EQ(rec.media.size(), (cut >= first.size() ? 1u : 0u) + (cut == full.size())) << cut;
    }
    Bytes lying = full;
    lying[first.size() + 1] = 0x7F;  // a tag size beyond the message ends the aggregate
    rec.Clear();
    EXPECT_NO_THROW(Decode(MSG_AGGREGATE, 1, lying));
    EXPECT_EQ(rec.media.size(), 1u);
}

}  // namespace
}  // namespace rtmp
