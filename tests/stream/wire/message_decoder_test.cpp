#include "wire/message_decoder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "log/log.h"
#include "wire/chunk.h"
#include "wire/my_exception.h"
#include "wire/ping_message.h"

namespace rtmp {
namespace {

using Bytes = std::vector<uint8_t>;

// ---- A listener that records everything the decoder reports ----

struct Unit {
    Bytes data;
    uint32_t ts;
};

class RecordingListener : public DecoderListener {
  public:
    void OnCallBack(const char* text, int length) override {
        callbacks.emplace_back(text, static_cast<size_t>(length));
    }
    void OnResultLine(const char* line, int length) override {
        lines.emplace_back(line, static_cast<size_t>(length));
    }
    void OnPingRequest(PingMessage& answer) override {
        pings.emplace_back(answer.Current(), answer.Current() + answer.Remaining());
        pingValues.push_back(answer.TimeValue());
    }
    bool WantsVideo() const override { return wantVideo; }
    bool WantsAudio() const override { return wantAudio; }
    void OnVideo(const uint8_t* data, int length, uint32_t ts) override {
        video.push_back(Unit{Bytes(data, data + length), ts});
    }
    void OnAudio(const uint8_t* data, int length, uint32_t ts) override {
        audio.push_back(Unit{Bytes(data, data + length), ts});
    }

    bool wantVideo = true;
    bool wantAudio = true;
    std::vector<std::string> callbacks;
    std::vector<std::string> lines;
    std::vector<Bytes> pings;
    std::vector<uint32_t> pingValues;
    std::vector<Unit> video;
    std::vector<Unit> audio;
};

// ---- The log, switched to a file in a directory of this test's own ----

class LogCapture {
  public:
    LogCapture() {
        char dir[] = "/tmp/message_decoder_test_XXXXXX";
        if (mkdtemp(dir) != nullptr)
            dir_ = dir;
        const char* old = std::getenv("VISTREL_LOG_DIR");
        if (old != nullptr)
            oldDir_ = old;
        hadOld_ = old != nullptr;
        setenv("VISTREL_LOG_DIR", dir_.c_str(), 1);
        log::SetLog(0, log::kFlagFile);
    }
    ~LogCapture() {
        log::SetLog(0, 0);  // switches off and removes the log file
        rmdir(dir_.c_str());
        if (hadOld_)
            setenv("VISTREL_LOG_DIR", oldDir_.c_str(), 1);
        else
            unsetenv("VISTREL_LOG_DIR");
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string Text() const {
        std::ifstream in(log::LogPath(), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool Has(const std::string& text) const { return Text().find(text) != std::string::npos; }

  private:
    std::string dir_;
    std::string oldDir_;
    bool hadOld_ = false;
};

// ---- AMF0 as it appears on the wire ----

void Append(Bytes& out, std::initializer_list<uint8_t> bytes) {
    out.insert(out.end(), bytes);
}
void U16(Bytes& out, size_t v) {
    Append(out, {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
}
void U24(Bytes& out, uint32_t v) {
    Append(out,
           {static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
}
void U32(Bytes& out, uint32_t v) {
    Append(out, {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                 static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
}
void Name(Bytes& out, const std::string& s) {
    U16(out, s.size());
    out.insert(out.end(), s.begin(), s.end());
}
void Str(Bytes& out, const std::string& s) {
    out.push_back(0x02);
    Name(out, s);
}
void Num(Bytes& out, double d) {
    out.push_back(0x00);
    uint64_t bits = 0;
    std::memcpy(&bits, &d, sizeof bits);
    for (int i = 7; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(bits >> (i * 8)));
}
void Null(Bytes& out) {
    out.push_back(0x05);
}
void ObjStart(Bytes& out) {
    out.push_back(0x03);
}
void ObjEnd(Bytes& out) {
    Append(out, {0x00, 0x00, 0x09});
}
void StrProp(Bytes& out, const std::string& name, const std::string& value) {
    Name(out, name);
    Str(out, value);
}
void NumProp(Bytes& out, const std::string& name, double value) {
    Name(out, name);
    Num(out, value);
}

Bytes Command(const std::string& name, double id) {
    Bytes b;
    Str(b, name);
    Num(b, id);
    return b;
}

Bytes Repeat(size_t n, uint8_t first) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(first + i);
    return b;
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// H.264 parameter sets and NAL units used by the video tests.
const Bytes kSps = {0x67, 0x64, 0x00, 0x1F, 0xAC};
const Bytes kPps = {0x68, 0xEE, 0x3C, 0x80};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x00, 0x21};
const Bytes kSei = {0x06, 0x05, 0x01};
const Bytes kSlice = {0x41, 0x9A, 0x02};

Bytes AvcSequenceHeader() {
    Bytes b = {0x17, 0x00, 0x00, 0x00, 0x00, 0x01, 0x64, 0x00, 0x1F, 0xFF, 0xE1};
    U16(b, kSps.size());
    b.insert(b.end(), kSps.begin(), kSps.end());
    b.push_back(0x01);
    U16(b, kPps.size());
    b.insert(b.end(), kPps.begin(), kPps.end());
    return b;
}

Bytes VideoFrame(uint8_t tag, const std::vector<Bytes>& units) {
    Bytes b = {tag, 0x01, 0x00, 0x00, 0x00};
    for (const Bytes& u : units) {
        U32(b, static_cast<uint32_t>(u.size()));
        b.insert(b.end(), u.begin(), u.end());
    }
    return b;
}

Bytes StartCodes(const std::vector<Bytes>& units) {
    Bytes b;
    for (const Bytes& u : units) {
        Append(b, {0x00, 0x00, 0x00, 0x01});
        b.insert(b.end(), u.begin(), u.end());
    }
    return b;
}

Bytes FlvTag(uint8_t type, uint32_t time, const Bytes& data) {
    Bytes b = {type};
    U24(b, static_cast<uint32_t>(data.size()));
    U24(b, time & 0xFFFFFF);
    b.push_back(static_cast<uint8_t>(time >> 24));
    Append(b, {0x00, 0x00, 0x00});
    b.insert(b.end(), data.begin(), data.end());
    U32(b, static_cast<uint32_t>(data.size() + 11));
    return b;
}

// Frame length field of an ADTS header.
int AdtsLength(const Bytes& frame) {
    return ((frame[3] & 0x03) << 11) | (frame[4] << 3) | (frame[5] >> 5);
}

// ---- The decoder under test, fed one complete message at a time ----

class MessageDecoderTest : public ::testing::Test {
  protected:
    void Decode(int type, int streamId, const Bytes& body, uint32_t clock = 0) {
        ByteBuffer buffer(static_cast<int>(body.size()));
        buffer.PutBytes(body.data(), static_cast<int>(body.size()));
        buffer.Flip();
        if (body.empty())
            buffer.Reset();
        ASSERT_EQ(buffer.Remaining(), static_cast<int>(body.size()));
        ChannelHeader header;
        header.channelId = 3;
        header.ts = static_cast<int32_t>(clock);
        header.clock = clock;
        header.amfSize = static_cast<int32_t>(body.size());
        header.amfType = type;
        header.streamId = streamId;
        decoder.DecodeAMF(context, header, buffer);
    }

    RecordingListener listener;
    MessageDecoder decoder{&listener};
    RtmpContext context;
};

// ---- Type names ----

TEST(MessageTypeName, KnownIdsAndUnknown) {
    EXPECT_STREQ(TypeName(1), "CHUNK_SIZE");
    EXPECT_STREQ(TypeName(3), "BYTES_READ");
    EXPECT_STREQ(TypeName(4), "PING");
    EXPECT_STREQ(TypeName(5), "SERVER_BANDWIDTH");
    EXPECT_STREQ(TypeName(6), "CLIENT_BANDWIDTH");
    EXPECT_STREQ(TypeName(8), "AUDIO_DATA");
    EXPECT_STREQ(TypeName(9), "VIDEO_DATA");
    EXPECT_STREQ(TypeName(15), "FLEX_STREAM_SEND");
    EXPECT_STREQ(TypeName(16), "FLEX_SHARED_OBJECT");
    EXPECT_STREQ(TypeName(17), "FLEX_MESSAGE");
    EXPECT_STREQ(TypeName(18), "NOTIFY");
    EXPECT_STREQ(TypeName(19), "SHARED_OBJECT");
    EXPECT_STREQ(TypeName(20), "INVOKE");
    EXPECT_STREQ(TypeName(22), "MP4_MEDIA");
    for (int id : {0, 2, 7, 10, 14, 21, 23, 255, -1})
        EXPECT_STREQ(TypeName(id), "Unkown") << id;
}

// ---- AAC configuration <-> ADTS lookups ----

TEST(AacHeaderTable, ConfigToAdtsUsesFirstMatchingRow) {
    uint8_t a2 = 0;
    uint8_t a3 = 0;
    AacConfigToAdts(0x12, 0x10, &a2, &a3);  // LC, 44100 Hz, stereo
    EXPECT_EQ(a2, 0x50);
    EXPECT_EQ(a3, 0x80);
    AacConfigToAdts(0x15, 0x88, &a2, &a3);  // LC, 8000 Hz, mono
    EXPECT_EQ(a2, 0x6C);
    EXPECT_EQ(a3, 0x40);
    AacConfigToAdts(0x77, 0x66, &a2, &a3);  // no row: the config bytes themselves
    EXPECT_EQ(a2, 0x77);
    EXPECT_EQ(a3, 0x66);
}

TEST(AacHeaderTable, AdtsToConfigComparesLowSixBitsOfByteTwo) {
    for (const AacHeaderRow& row : kAacHeaderTable) {
        uint8_t c0 = 0;
        uint8_t c1 = 0;
        ASSERT_TRUE(AacAdtsToConfig(row.adts2, row.adts3, &c0, &c1));
        EXPECT_EQ(c0, row.config0);
        EXPECT_EQ(c1, row.config1);
        uint8_t a2 = 0;
        uint8_t a3 = 0;
        AacConfigToAdts(c0, c1, &a2, &a3);
        EXPECT_EQ(a2, row.adts2);
        EXPECT_EQ(a3, row.adts3);
    }
    uint8_t c0 = 0xEE;
    uint8_t c1 = 0xEE;
    // The two profile bits (top of byte 2) do not take part.
    ASSERT_TRUE(AacAdtsToConfig(0x90, 0x80, &c0, &c1));
    EXPECT_EQ(c0, 0x12);
    EXPECT_EQ(c1, 0x10);
    c0 = c1 = 0xEE;
    EXPECT_FALSE(AacAdtsToConfig(0x50, 0x81, &c0, &c1));  // byte 3 must be equal
    EXPECT_FALSE(AacAdtsToConfig(0x44, 0x80, &c0, &c1));
    EXPECT_EQ(c0, 0xEE);
    EXPECT_EQ(c1, 0xEE);
}

// ---- Ping message ----

TEST(PingMessage, ClockValueIsUtc8SecondsModuloFourMillionTimesThousand) {
    EXPECT_EQ(PingClockValue(0), 28800000u);
    EXPECT_EQ(PingClockValue(1712345678), 374478000u);
    // The largest value still fits 32 bits unsigned.
    EXPECT_EQ(PingClockValue(4000000LL * 500 - 28800 - 1), 3999999000u);
    EXPECT_EQ(PingClockValue(4000000LL * 500 - 28800), 0u);
}

TEST(PingMessage, BodyIsEventAndClockInSixBytes) {
    PingMessage m(7, 1712345678);
    EXPECT_EQ(m.EventType(), 7);
    EXPECT_EQ(m.TimeValue(), 374478000u);
    ASSERT_EQ(m.Remaining(), 6);
    EXPECT_EQ(Bytes(m.Current(), m.Current() + 6), (Bytes{0x00, 0x07, 0x16, 0x52, 0x14, 0xB0}));
    EXPECT_STREQ(m.TimeText(), "2024-04-06 03:34:38");  // 19:34:38 UTC
    PingMessage epoch(7, 0);
    EXPECT_STREQ(epoch.TimeText(), "1970-01-01 08:00:00");
}

// ---- Commands and replies ----

TEST_F(MessageDecoderTest, NotifyCallBackOnStreamZeroReachesCallBack) {
    Bytes body = Command("CallBack", 0);
    Null(body);
    Str(body, "hello from the server");
    Decode(MSG_NOTIFY, 0, body);
    EXPECT_EQ(listener.callbacks, (std::vector<std::string>{"hello from the server"}));
    EXPECT_TRUE(listener.lines.empty());
    EXPECT_STREQ(context.invokeList.Find("InvokeName"), "CallBack");
    EXPECT_STREQ(context.invokeList.Find("InvokeID"), "0");
}

TEST_F(MessageDecoderTest, NotifyOnOtherStreamIsMetadata) {
    Bytes body;
    Str(body, "onMetaData");
    body.push_back(0x08);  // ECMA array
    U32(body, 2);
    NumProp(body, "width", 640);
    NumProp(body, "height", 480);
    ObjEnd(body);
    Decode(MSG_NOTIFY, 1, body);
    EXPECT_TRUE(listener.callbacks.empty());
    EXPECT_TRUE(listener.lines.empty());
    EXPECT_EQ(context.invokeList.Count(), 0);
    EXPECT_STREQ(context.metadataList.Find("width"), "640");
    EXPECT_STREQ(context.metadataList.Find("height"), "480");

    // The next metadata message replaces the list.
    Bytes next;
    Str(next, "onMetaData");
    ObjStart(next);
    NumProp(next, "framerate", 25);
    ObjEnd(next);
    Decode(MSG_NOTIFY, 1, next);
    EXPECT_STREQ(context.metadataList.Find("width"), "");
    EXPECT_STREQ(context.metadataList.Find("framerate"), "25");
}

TEST_F(MessageDecoderTest, ConnectResultIsFlattenedIntoOrderedLines) {
    Bytes body = Command("_result", 1);
    ObjStart(body);
    StrProp(body, "fmsVer", "FMS/3,5,7,7009");
    NumProp(body, "capabilities", 31);
    ObjEnd(body);
    ObjStart(body);
    StrProp(body, "level", "status");
    StrProp(body, "code", "NetConnection.Connect.Success");
    StrProp(body, "description", "Connection succeeded.");
    NumProp(body, "objectEncoding", 0);
    ObjEnd(body);
    Decode(MSG_INVOKE, 0, body);
    EXPECT_EQ(listener.lines, (std::vector<std::string>{
                                  "InvokeName=_result",
                                  "InvokeID=1",
                                  "fmsVer=FMS/3,5,7,7009",
                                  "capabilities=31",
                                  "Param=level",
                                  "level=status",
                                  "code=NetConnection.Connect.Success",
                                  "description=Connection succeeded.",
                                  "objectEncoding=0",
                                  "CallResult=Vistrel.Call.Success",
                              }));
    EXPECT_TRUE(listener.callbacks.empty());
}

TEST_F(MessageDecoderTest, OnStatusErrorEndsFailedAndOtherLevelsSucceed) {
    Bytes body = Command("onStatus", 0);
    Null(body);
    ObjStart(body);
    StrProp(body, "level", "error");
    StrProp(body, "code", "NetStream.Publish.BadName");
    ObjEnd(body);
    Decode(MSG_INVOKE, 1, body);
    ASSERT_FALSE(listener.lines.empty());
    EXPECT_EQ(listener.lines.back(), "CallResult=Vistrel.Call.Failed");
    EXPECT_EQ(listener.lines[listener.lines.size() - 2], "code=NetStream.Publish.BadName");

    listener.lines.clear();
    Bytes ok = Command("onStatus", 0);
    Null(ok);
    ObjStart(ok);
    StrProp(ok, "level", "status");
    StrProp(ok, "code", "NetStream.Publish.Start");
    ObjEnd(ok);
    Decode(MSG_INVOKE, 1, ok);
    ASSERT_FALSE(listener.lines.empty());
    EXPECT_EQ(listener.lines.back(), "CallResult=Vistrel.Call.Success");
}

TEST_F(MessageDecoderTest, ErrorReplyEndsFailed) {
    Bytes body = Command("_error", 2);
    Null(body);
    ObjStart(body);
    StrProp(body, "level", "status");  // _error fails whatever the level says
    ObjEnd(body);
    Decode(MSG_INVOKE, 0, body);
    EXPECT_EQ(listener.lines,
              (std::vector<std::string>{"InvokeName=_error", "InvokeID=2", "Param=level",
                                        "level=status", "CallResult=Vistrel.Call.Failed"}));
}

TEST_F(MessageDecoderTest, UnknownCommandIsOnlyLogged) {
    LogCapture logs;
    Bytes body = Command("onBWDone", 0);
    Null(body);
    Decode(MSG_INVOKE, 0, body);
    EXPECT_TRUE(listener.lines.empty());
    EXPECT_TRUE(listener.callbacks.empty());
    EXPECT_TRUE(logs.Has("NotFindFunction.onBWDone()"));
}

TEST_F(MessageDecoderTest, ReplyCutShortIsDroppedWithoutResultLines) {
    Bytes body = Command("_result", 1);
    Null(body);
    ObjStart(body);
    const size_t levelStart = body.size();
    StrProp(body, "level", "status");
    const size_t codeStart = body.size();
    StrProp(body, "code", "NetConnection.Connect.Success");
    const size_t codeEnd = body.size();
    ObjEnd(body);
    {
        LogCapture logs;
        Decode(MSG_INVOKE, 0, Bytes(body.begin(), body.begin() + codeEnd - 10));
        EXPECT_TRUE(listener.lines.empty());
        EXPECT_EQ(context.invokeList.Count(), 0);
        EXPECT_TRUE(logs.Has("::DecodeInvoke().Cut short:"));
    }
    // Every cut: nothing escapes, and a reply is only reported when it was read through. A
    // cut inside a property (past the three bytes that tell it from an end marker) drops it.
    for (size_t cut = 0; cut <= body.size(); ++cut) {
        listener.lines.clear();
        EXPECT_NO_THROW(Decode(MSG_INVOKE, 0, Bytes(body.begin(), body.begin() + cut))) << cut;
        if (!listener.lines.empty()) {
            EXPECT_EQ(listener.lines.back(), "CallResult=Vistrel.Call.Success") << cut;
        }
        const bool inLevel = cut >= levelStart + 3 && cut < codeStart;
        const bool inCode = cut >= codeStart + 3 && cut < codeEnd;
        if (inLevel || inCode) {
            EXPECT_TRUE(listener.lines.empty()) << cut;
        }
    }
}

TEST_F(MessageDecoderTest, MetadataCutShortIsDropped) {
    Bytes body;
    Str(body, "onMetaData");
    ObjStart(body);
    NumProp(body, "width", 640);
    ObjEnd(body);
    for (size_t cut = 1; cut + 3 < body.size(); ++cut) {
        EXPECT_NO_THROW(Decode(MSG_NOTIFY, 1, Bytes(body.begin(), body.begin() + cut))) << cut;
        EXPECT_STREQ(context.metadataList.Find("width"), "") << cut;
    }
}

TEST_F(MessageDecoderTest, NestingTooDeepIsABrokenStream) {
    Bytes body = Command("_result", 1);
    Null(body);
    for (int i = 0; i < 64; ++i) {
        ObjStart(body);
        Name(body, "a");
    }
    Null(body);
    EXPECT_THROW(Decode(MSG_INVOKE, 0, body), MyException);
}

// ---- User control, acknowledgement and bandwidth ----

TEST_F(MessageDecoderTest, PingRequestIsAnsweredWithEventSevenAndClientClock) {
    const Bytes body = {0x00, 0x06, 0x00, 0x00, 0x04, 0xD2};  // event 6, value 1234
    const uint32_t before = PingClockValue(std::time(nullptr));
    Decode(MSG_PING, 0, body);
    const uint32_t after = PingClockValue(std::time(nullptr));
    ASSERT_EQ(listener.pings.size(), 1u);
    const Bytes& answer = listener.pings[0];
    ASSERT_EQ(answer.size(), 6u);
    EXPECT_EQ(answer[0], 0x00);
    EXPECT_EQ(answer[1], 0x07);
    const uint32_t value = uint32_t{answer[2]} << 24 | uint32_t{answer[3]} << 16 |
                           uint32_t{answer[4]} << 8 | uint32_t{answer[5]};
    EXPECT_TRUE(value == before || value == after) << value;
    EXPECT_NE(value, 1234u);
    EXPECT_EQ(listener.pingValues[0], value);
}

TEST_F(MessageDecoderTest, StreamBeginIsOnlyLogged) {
    LogCapture logs;
    Decode(MSG_PING, 0, {0x00, 0x00, 0x00, 0x00, 0x00, 0x01});
    EXPECT_TRUE(listener.pings.empty());
    EXPECT_TRUE(logs.Has("DecodePing:0,1,"));
}

TEST_F(MessageDecoderTest, ShortPingIsLoggedAndNotAnswered) {
    const Bytes full = {0x00, 0x06, 0x00, 0x00, 0x04, 0xD2};
    for (size_t cut = 0; cut < full.size(); ++cut) {
        LogCapture logs;
        EXPECT_NO_THROW(Decode(MSG_PING, 0, Bytes(full.begin(), full.begin() + cut))) << cut;
        EXPECT_TRUE(logs.Has("::Small Ping Remain.")) << cut;
        EXPECT_FALSE(logs.Has("DecodePing:")) << cut;
    }
    EXPECT_TRUE(listener.pings.empty());
}

TEST_F(MessageDecoderTest, BytesReadAndBandwidthValuesAreLogged) {
    LogCapture logs;
    Decode(MSG_BYTES_READ, 0, {0x00, 0x50, 0x00, 0x00});
    Decode(MSG_BYTES_READ, 0, {0x01, 0x02});
    Decode(MSG_SERVER_BW, 0, {0x00, 0x26, 0x25, 0xA0});
    Decode(MSG_CLIENT_BW, 0, {0x00, 0x1E, 0x84, 0x80, 0x02});
    Decode(MSG_CLIENT_BW, 0, {0x02});
    const std::string text = logs.Text();
    EXPECT_NE(text.find("DecodeBytesRead:ReadByte:5242880"), std::string::npos);
    EXPECT_NE(text.find("DecodeBytesRead:ReadByte:0"), std::string::npos);
    EXPECT_NE(text.find("DecodeBW:ReadInt:2500000"), std::string::npos);
    EXPECT_NE(text.find("DecodeBW:ReadInt:2000000"), std::string::npos);
    EXPECT_NE(text.find("DecodeBW:ReadInt:0"), std::string::npos);
}

TEST_F(MessageDecoderTest, OtherTypesAreLoggedByName) {
    LogCapture logs;
    Decode(MSG_FLEX_STREAM_SEND, 1, {0x00});
    Decode(MSG_FLEX_SHARED_OBJECT, 0, {0x00});
    Decode(MSG_FLEX_MESSAGE, 0, {0x00});
    Decode(MSG_SHARED_OBJECT, 0, {0x00});
    Decode(7, 0, {0x01, 0x02, 0x03});
    EXPECT_TRUE(logs.Has("decodeFlexStreamSend(in)XX"));
    EXPECT_TRUE(logs.Has("decodeFlexSharedObject(in, rtmp)XX"));
    EXPECT_TRUE(logs.Has("decodeFlexMessage(in, rtmp)XX"));
    EXPECT_TRUE(logs.Has("decodeSharedObject(in, rtmp)XX"));
    EXPECT_TRUE(logs.Has("::Unknown object type on DecodeAMF().AMFType=0x7,pos=0x0,size=3"));
}

// ---- Audio ----

TEST_F(MessageDecoderTest, AudioSizeMessageIsSwallowed) {
    {
        LogCapture logs;
        Decode(MSG_AUDIO, 1, {0x0F, 0x00, 0x00, 0x00, 0x00});
        EXPECT_FALSE(logs.Has("::ChangeAudioSize().reman="));
    }
    {
        LogCapture logs;
        Decode(MSG_AUDIO, 1, {0x0F, 0x00, 0x00, 0x00, 0x00, 0xAA, 0xBB});
        EXPECT_TRUE(logs.Has("::ChangeAudioSize().reman=7"));
    }
    EXPECT_TRUE(listener.audio.empty());

    // Another value after 0F is ordinary audio (here a raw frame after a sequence header).
    Decode(MSG_AUDIO, 1, {0xAF, 0x00, 0x12, 0x10});
    Decode(MSG_AUDIO, 1, {0x0F, 0x00, 0x00, 0x00, 0x01}, 77);
    ASSERT_EQ(listener.audio.size(), 1u);
    EXPECT_EQ(listener.audio[0].data,
              (Bytes{0xFF, 0xF1, 0x50, 0x80, 0x01, 0x5F, 0xFC, 0x00, 0x00, 0x01}));
    EXPECT_EQ(listener.audio[0].ts, 77u);
}

TEST_F(MessageDecoderTest, AacSequenceHeaderMakesAdtsTemplateAndFramesGetLength) {
    {
        LogCapture logs;
        Decode(MSG_AUDIO, 1, {0xAF, 0x00, 0x12, 0x10});
        EXPECT_TRUE(logs.Has("UnknownAACAudioHead."));
    }
    const ByteBuffer& adts = decoder.AdtsHeader();
    ASSERT_EQ(adts.Remaining(), 7);
    EXPECT_EQ(Bytes(adts.Current(), adts.Current() + 7),
              (Bytes{0xFF, 0xF1, 0x50, 0x80, 0x28, 0x1F, 0xFC}));
    EXPECT_TRUE(listener.audio.empty());

    const Bytes data = Repeat(100, 0x10);
    Decode(MSG_AUDIO, 1, Cat({0xAF, 0x01}, data), 123456);
    ASSERT_EQ(listener.audio.size(), 1u);
    const Bytes& frame = listener.audio[0].data;
    ASSERT_EQ(frame.size(), 107u);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 7),
              (Bytes{0xFF, 0xF1, 0x50, 0x80, 0x0D, 0x7F, 0xFC}));
    EXPECT_EQ(Bytes(frame.begin() + 7, frame.end()), data);
    EXPECT_EQ(listener.audio[0].ts, 123456u);
}

TEST_F(MessageDecoderTest, LongAacFrameCarriesAllThirteenLengthBits) {
    Decode(MSG_AUDIO, 1, {0xAF, 0x00, 0x12, 0x10});
    Decode(MSG_AUDIO, 1, Cat({0xAF, 0x01}, Repeat(3000, 0)));
    ASSERT_EQ(listener.audio.size(), 1u);
    const Bytes& frame = listener.audio[0].data;
    ASSERT_EQ(frame.size(), 3007u);
    EXPECT_EQ(AdtsLength(frame), 3007);
    EXPECT_EQ(frame[3] & 0xFC, 0x80);  // channel bits of the template kept

    Decode(MSG_AUDIO, 1, Cat({0xAF, 0x01}, Repeat(8184, 0)));
    ASSERT_EQ(listener.audio.size(), 2u);
    EXPECT_EQ(AdtsLength(listener.audio[1].data), 8191);

    LogCapture logs;  // one byte more no longer fits the 13-bit field
    Decode(MSG_AUDIO, 1, Cat({0xAF, 0x01}, Repeat(8185, 0)));
    EXPECT_EQ(listener.audio.size(), 2u);
    EXPECT_TRUE(logs.Has("::AAC frame too long for ADTS.len=8192"));
}

TEST_F(MessageDecoderTest, AacFrameBeforeSequenceHeaderIsDropped) {
    LogCapture logs;
    Decode(MSG_AUDIO, 1, Cat({0xAF, 0x01}, Repeat(20, 0)));
    EXPECT_TRUE(listener.audio.empty());
    EXPECT_TRUE(logs.Has("::AAC frame before sequence header."));
}

TEST_F(MessageDecoderTest, AacSequenceHeaderCutShortKeepsTemplate) {
    Decode(MSG_AUDIO, 1, {0xAF, 0x00, 0x13, 0x90});
    Decode(MSG_AUDIO, 1, {0xAF, 0x00, 0x12});
    const ByteBuffer& adts = decoder.AdtsHeader();
    ASSERT_EQ(adts.Remaining(), 7);
    EXPECT_EQ(adts.Current()[2], 0x5C);
    EXPECT_EQ(adts.Current()[3], 0x80);
}

TEST_F(MessageDecoderTest, AacSequenceHeaderFollowedByFrameInOneMessage) {
    Decode(MSG_AUDIO, 1, {0xAF, 0x00, 0x12, 0x10, 0xAF, 0x01, 0xA1, 0xA2, 0xA3}, 9);
    ASSERT_EQ(listener.audio.size(), 1u);
    EXPECT_EQ(listener.audio[0].data,
              (Bytes{0xFF, 0xF1, 0x50, 0x80, 0x01, 0x5F, 0xFC, 0xA1, 0xA2, 0xA3}));
    EXPECT_EQ(listener.audio[0].ts, 9u);
}

TEST_F(MessageDecoderTest, ChainedAacSequenceHeadersAreBounded) {
    Bytes body;
    for (int i = 0; i < 100000; ++i)
        Append(body, {0xAF, 0x00, 0x12, 0x10});
    Append(body, {0xAF, 0x01, 0x01, 0x02, 0x03});
    LogCapture logs;
    EXPECT_NO_THROW(Decode(MSG_AUDIO, 1, body));
    EXPECT_TRUE(listener.audio.empty());
    EXPECT_TRUE(logs.Has("::AAC audio chained too deep."));
}

TEST_F(MessageDecoderTest, PlainAudioLosesItsMarkerByte) {
    for (uint8_t marker : {0x50, 0xB2, 0x2A})
        Decode(MSG_AUDIO, 1, {marker, 0x01, 0x02, 0x03}, 40);
    ASSERT_EQ(listener.audio.size(), 3u);
    for (const Unit& u : listener.audio) {
        EXPECT_EQ(u.data, (Bytes{0x01, 0x02, 0x03}));
        EXPECT_EQ(u.ts, 40u);
    }
    Decode(MSG_AUDIO, 1, {0x2A});  // a single byte is nothing
    EXPECT_EQ(listener.audio.size(), 3u);
}

TEST_F(MessageDecoderTest, AudioWithoutAudioOutputIsIgnored) {
    listener.wantAudio = false;
    Decode(MSG_AUDIO, 1, {0xAF, 0x00, 0x12, 0x10});
    Decode(MSG_AUDIO, 1, {0x2A, 0x01, 0x02});
    EXPECT_TRUE(listener.audio.empty());
    EXPECT_EQ(decoder.AdtsHeader().Remaining(), 0);
}

// ---- Video ----

TEST_F(MessageDecoderTest, KeyFrameIsPrecededByParameterSetsInStartCodeForm) {
    Decode(MSG_VIDEO, 1, AvcSequenceHeader());
    const ByteBuffer& seq = decoder.SeqHeader();
    EXPECT_EQ(Bytes(seq.Current(), seq.Current() + seq.Remaining()),
              Cat(Cat(kSps, {0x00, 0x00, 0x00, 0x01}), kPps));
    EXPECT_TRUE(listener.video.empty());

    Decode(MSG_VIDEO, 1, VideoFrame(0x17, {kSei, kIdr}), 3000);
    ASSERT_EQ(listener.video.size(), 1u);
    EXPECT_EQ(listener.video[0].data, StartCodes({kSps, kPps, kSei, kIdr}));
    EXPECT_EQ(listener.video[0].ts, 3000u);

    Decode(MSG_VIDEO, 1, VideoFrame(0x27, {kSlice}), 3040);
    ASSERT_EQ(listener.video.size(), 2u);
    EXPECT_EQ(listener.video[1].data, StartCodes({kSlice}));
    EXPECT_EQ(listener.video[1].ts, 3040u);

    // The parameter sets are kept for every later key frame.
    Decode(MSG_VIDEO, 1, VideoFrame(0x17, {kIdr}), 5000);
    ASSERT_EQ(listener.video.size(), 3u);
    EXPECT_EQ(listener.video[2].data, StartCodes({kSps, kPps, kIdr}));
}

TEST_F(MessageDecoderTest, SequenceHeaderWithSeveralSpsKeepsTheFirstAndFindsThePps) {
    Bytes b = {0x17, 0x00, 0x00, 0x00, 0x00, 0x01, 0x64, 0x00, 0x1F, 0xFF, 0xE2};
    U16(b, kSps.size());
    b.insert(b.end(), kSps.begin(), kSps.end());
    U16(b, 2);
    Append(b, {0x67, 0x42});
    b.push_back(0x01);
    U16(b, kPps.size());
    b.insert(b.end(), kPps.begin(), kPps.end());
    Decode(MSG_VIDEO, 1, b);
    Decode(MSG_VIDEO, 1, VideoFrame(0x17, {kIdr}));
    ASSERT_EQ(listener.video.size(), 1u);
    EXPECT_EQ(listener.video[0].data, StartCodes({kSps, kPps, kIdr}));
}

TEST_F(MessageDecoderTest, IgnoredAndUnknownVideoHeads) {
    LogCapture logs;
    Decode(MSG_VIDEO, 1, {0x52, 0x00, 0x01});
    Decode(MSG_VIDEO, 1, {0x52, 0x01, 0x01});
    Decode(MSG_VIDEO, 1, {0x17, 0x02, 0x00, 0x00, 0x00});
    Decode(MSG_VIDEO, 1, {0x57, 0x00, 0x01});
    EXPECT_FALSE(logs.Has("UnknownH264VideoHead."));
    Decode(MSG_VIDEO, 1, {0x22, 0x01, 0x00, 0x00, 0x00});
    EXPECT_TRUE(logs.Has("UnknownH264VideoHead."));
    EXPECT_TRUE(listener.video.empty());
}

TEST_F(MessageDecoderTest, PlainVideoLosesItsMarkerByte) {
    Decode(MSG_VIDEO, 1, {0x12, 0x00, 0x00, 0x00, 0x01, 0x09}, 66);
    ASSERT_EQ(listener.video.size(), 1u);
    EXPECT_EQ(listener.video[0].data, (Bytes{0x00, 0x00, 0x00, 0x01, 0x09}));
    EXPECT_EQ(listener.video[0].ts, 66u);
}

TEST_F(MessageDecoderTest, VideoWithoutVideoOutputIsIgnored) {
    listener.wantVideo = false;
    Decode(MSG_VIDEO, 1, AvcSequenceHeader());
    Decode(MSG_VIDEO, 1, VideoFrame(0x17, {kIdr}));
    EXPECT_TRUE(listener.video.empty());
    EXPECT_EQ(decoder.SeqHeader().Remaining(), 0);
}

TEST_F(MessageDecoderTest, EveryCutOfASequenceHeaderIsDropped) {
    const Bytes full = AvcSequenceHeader();
    Decode(MSG_VIDEO, 1, full);
    const ByteBuffer& seq = decoder.SeqHeader();
    const Bytes kept(seq.Current(), seq.Current() + seq.Remaining());
    for (size_t cut = 0; cut < full.size(); ++cut) {
        EXPECT_NO_THROW(Decode(MSG_VIDEO, 1, Bytes(full.begin(), full.begin() + cut))) << cut;
        ASSERT_EQ(Bytes(seq.Current(), seq.Current() + seq.Remaining()), kept) << cut;
    }
    // A length that claims more than the message holds.
    Bytes lying = full;
    lying[11] = 0x40;  // SPS length 0x4005
    {
        LogCapture logs;
        EXPECT_NO_THROW(Decode(MSG_VIDEO, 1, lying));
        EXPECT_TRUE(logs.Has("::AVC sequence header cut short."));
    }
    EXPECT_TRUE(listener.video.empty());
}

TEST_F(MessageDecoderTest, EveryCutOfAKeyFrameIsDroppedUnlessItEndsOnAUnit) {
    Decode(MSG_VIDEO, 1, AvcSequenceHeader());
    const Bytes full = VideoFrame(0x17, {kSei, kIdr});
    const size_t afterSei = 5 + 4 + kSei.size();
    for (size_t cut = 0; cut <= full.size(); ++cut) {
        listener.video.clear();
        EXPECT_NO_THROW(Decode(MSG_VIDEO, 1, Bytes(full.begin(), full.begin() + cut))) << cut;
        if (cut == 5) {
            ASSERT_EQ(listener.video.size(), 1u);
            EXPECT_EQ(listener.video[0].data, StartCodes({kSps, kPps}));
        } else if (cut == afterSei) {
            ASSERT_EQ(listener.video.size(), 1u);
            EXPECT_EQ(listener.video[0].data, StartCodes({kSps, kPps, kSei}));
        } else if (cut == full.size()) {
            ASSERT_EQ(listener.video.size(), 1u);
            EXPECT_EQ(listener.video[0].data, StartCodes({kSps, kPps, kSei, kIdr}));
        } else {
            EXPECT_TRUE(listener.video.empty()) << cut;
        }
    }
    // A NAL length far beyond the message.
    Bytes lying = VideoFrame(0x27, {kSlice});
    lying[5] = 0xFF;
    LogCapture logs;
    listener.video.clear();
    EXPECT_NO_THROW(Decode(MSG_VIDEO, 1, lying));
    EXPECT_TRUE(listener.video.empty());
    EXPECT_TRUE(logs.Has("::H264 NAL unit cut short."));
}

// ---- Aggregate messages ----

TEST_F(MessageDecoderTest, AggregateTagsAreTimedFromTheMessageTime) {
    const Bytes body =
        Cat(FlvTag(9, 1000, VideoFrame(0x27, {kSlice})), FlvTag(9, 1040, VideoFrame(0x27, {kIdr})));
    Decode(MSG_AGGREGATE, 1, body, 90000);
    ASSERT_EQ(listener.video.size(), 2u);
    EXPECT_EQ(listener.video[0].ts, 90000u);
    EXPECT_EQ(listener.video[1].ts, 90040u);
    EXPECT_EQ(listener.video[0].data, StartCodes({kSlice}));
    EXPECT_EQ(listener.video[1].data, StartCodes({kIdr}));

    // A second aggregate is timed by its own message time and first tag only.
    Decode(MSG_AGGREGATE, 1, FlvTag(9, 1080, VideoFrame(0x27, {kSlice})), 90080);
    ASSERT_EQ(listener.video.size(), 3u);
    EXPECT_EQ(listener.video[2].ts, 90080u);
}

TEST_F(MessageDecoderTest, AggregateMixesAudioAndVideoFromTheFirstTag) {
    Decode(MSG_AUDIO, 1, {0xAF, 0x00, 0x12, 0x10});
    const Bytes body = Cat(Cat(FlvTag(8, 0x01000000 + 2000, {0xAF, 0x01, 0x11, 0x22}),
                               FlvTag(18, 0x01000000 + 2005, {0x02, 0x00, 0x01, 0x41})),
                           FlvTag(9, 0x01000000 + 2010, {0x12, 0x33, 0x44}));
    Decode(MSG_AGGREGATE, 1, body, 500);
    ASSERT_EQ(listener.audio.size(), 1u);
    ASSERT_EQ(listener.video.size(), 1u);
    EXPECT_EQ(listener.audio[0].ts, 500u);
    EXPECT_EQ(listener.audio[0].data,
              (Bytes{0xFF, 0xF1, 0x50, 0x80, 0x01, 0x3F, 0xFC, 0x11, 0x22}));
    EXPECT_EQ(listener.video[0].ts, 510u);
    EXPECT_EQ(listener.video[0].data, (Bytes{0x33, 0x44}));
}

TEST_F(MessageDecoderTest, EveryCutOfAnAggregateDeliversOnlyWholeTags) {
    const Bytes first = FlvTag(9, 1000, VideoFrame(0x27, {kSlice}));
    const Bytes second = FlvTag(9, 1040, VideoFrame(0x27, {kIdr}));
    const Bytes full = Cat(first, second);
    for (size_t cut = 0; cut <= full.size(); ++cut) {
        listener.video.clear();
        EXPECT_NO_THROW(Decode(MSG_AGGREGATE, 1, Bytes(full.begin(), full.begin() + cut))) << cut;
        const size_t whole = (cut >= first.size() ? 1 : 0) + (cut >= full.size() ? 1 : 0);
        EXPECT_EQ(listener.video.size(), whole) << cut;
    }
    // A tag size beyond the message ends the aggregate.
    Bytes lying = full;
    lying[first.size() + 1] = 0x7F;
    LogCapture logs;
    listener.video.clear();
    EXPECT_NO_THROW(Decode(MSG_AGGREGATE, 1, lying));
    EXPECT_EQ(listener.video.size(), 1u);
    EXPECT_TRUE(logs.Has("::DecodeAggregate().TagSize="));
}

// ---- Without a listener ----

TEST(MessageDecoderAlone, DecodesEveryTypeWithoutAListener) {
    MessageDecoder decoder;
    RtmpContext context;
    Bytes reply = Command("_result", 1);
    Null(reply);
    Str(reply, "x");
    const std::vector<std::pair<int, Bytes>> messages = {
        {MSG_PING, {0x00, 0x06, 0x00, 0x00, 0x00, 0x01}},
        {MSG_INVOKE, reply},
        {MSG_AUDIO, {0xAF, 0x00, 0x12, 0x10}},
        {MSG_AUDIO, {0xAF, 0x01, 0x00}},
        {MSG_VIDEO, AvcSequenceHeader()},
        {MSG_AGGREGATE, FlvTag(9, 1, {0x12, 0x00})},
    };
    for (const auto& [type, body] : messages) {
        ByteBuffer buffer(static_cast<int>(body.size()));
        buffer.PutBytes(body.data(), static_cast<int>(body.size()));
        buffer.Flip();
        ChannelHeader header;
        header.amfType = type;
        header.amfSize = static_cast<int32_t>(body.size());
        EXPECT_NO_THROW(decoder.DecodeAMF(context, header, buffer)) << type;
    }
    EXPECT_STREQ(context.invokeList.Find("Param"), "x");
    EXPECT_EQ(decoder.SeqHeader().Remaining(), 0);
}

}  // namespace
}  // namespace rtmp
