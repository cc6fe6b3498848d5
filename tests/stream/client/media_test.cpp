// What the client sends for H.264, ADTS AAC and metadata; NAL scanning, URLs, the result waiter.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ctime>

#include "client/aac_config.h"
#include "client/annexb_to_avc.h"
#include "client/result_waiter.h"
#include "client/vistrel.h"
#include "scripted_peer.h"
#include "wire/ping_message.h"

namespace testpeer {
namespace {

using namespace kit;

const Bytes kSeqHeader = AvcSequenceHeader(40);

class MediaTest : public ::testing::Test {
  protected:
    void SetUp() override {
        s.Connect();
        ASSERT_EQ(s.Publish("live"), 1);
    }
    int Send(const Bytes& unit, int ts = 40, int type = 9) {
        return RTMP_SendStream(s.Handle(), unit.data(), static_cast<int>(unit.size()), ts, type);
    }
    Message Next(int type = 9) {
        Message m;
        EXPECT_TRUE(s.Peer().ReadMessageOfType(type, &m, 3000));
        return m;
    }
    // Sends units (each 40 ms after the last) and expects these video bodies and times.
    void Expect(const std::vector<Bytes>& units,
                const std::vector<std::pair<Bytes, uint32_t>>& out) {
        for (const Bytes& u : units)
            ASSERT_EQ(Send(u), 1);
        for (const auto& [body, ts] : out) {
            const Message m = Next();
            EXPECT_EQ(std::pair(m.body, m.timestamp), std::pair(body, ts));
        }
    }
    PeerSession s;
};

// Unit k's media time is 40 k, also after units the client does not send.
TEST_F(MediaTest, VideoUnitsBecomeTagsOnceAnSpsHasComeAndKeepTheirMediaTimes) {
    ASSERT_EQ(Send(AnnexB({kSlice})), 1);  // consumed, not sent
    ASSERT_EQ(Send(AnnexB({kSps})), 1);    // an SPS alone: the same
    const Bytes aud = {0x09, 0xF0}, sei2 = {0x06, 0x01, 0x01, 0x80}, filler = {0x0C, 0xFF, 0x80};
    ASSERT_EQ(Send(AnnexB({aud, kSps, kPps, kSei, sei2, kIdr})), 1);
    const Message header = Next();
    EXPECT_EQ(header.Header(), std::tuple(4, 0, 1u, 80u));  // the time of the units before it
    EXPECT_EQ(header.body, kSeqHeader);
    // Delimiters, filler and empty units go, SEI stays; units without a slice pass their time on.
    const Bytes partition = {0x22, 0x01, 0x02};  // type 2: an inter frame
    const Bytes unspecified = {0x18, 0x01};      // type 24: no slice to send
    Expect({AnnexB({partition}), AnnexB({unspecified, kSlice}), AnnexB({kSei}),
            AnnexB({aud, kSei, filler, sei2, kSlice, Bytes{}, kSlice})},
           {{AvcFrame(0x17, {kSei, sei2, kIdr}), 120},
            {AvcFrame(0x27, {partition}), 160},
            {AvcFrame(0x27, {kSei, sei2, kSlice, kSlice}), 280}});
    // Parameter sets repeated later are dropped.
    Expect({AnnexB({kSps, kPps, kIdr}), AnnexB({kSlice}), AnnexB({kSps, kPps, kIdr, kIdr})},
           {{AvcFrame(0x17, {kIdr}), 320},
            {AvcFrame(0x27, {kSlice}), 360},
            {AvcFrame(0x17, {kIdr, kIdr}), 400}});
    Bytes huge = AnnexB({kSlice});
    huge.resize(0xFFFFFF, 0x5A);  // with the five tag bytes beyond 24 bits
    EXPECT_EQ(Send(huge), 0);     // refused, not cut; its time is carried along
    // A ping answer (event 7, the client's clock) goes out on the shared writer, stream id 0...
    const uint32_t before = rtmp::PingClockValue(std::time(nullptr));
    ASSERT_TRUE(s.Peer().SendMessage(2, 4, 0, 0, {0x00, 0x06, 0x00, 0x00, 0x04, 0xD2}));
    const Message pong = Next(4);
    const uint32_t later = rtmp::PingClockValue(std::time(nullptr));
    EXPECT_EQ(std::pair(pong.chunkStream, pong.streamId), std::pair(2, 0u));
    EXPECT_THAT(pong.body, testing::AnyOf(Cat({B(0x00, 0x07), Be(before, 4)}),
                                          Cat({B(0x00, 0x07), Be(later, 4)})));
    // ...and the next media message still carries the running time in a type-0 header.
    ASSERT_EQ(Send(AnnexB({kSlice})), 1);
    const Message after = Next();
    EXPECT_EQ(std::pair(after.fmt, after.timestamp), std::pair(0, 480u));
    // A delta beyond 10 s or below 0 adds no time.
    ASSERT_EQ(Send(AnnexB({kSlice}), 12000), 1);
    EXPECT_EQ(Next().timestamp, 480u);
    ASSERT_EQ(Send(AnnexB({kSlice}), -5), 1);
    EXPECT_EQ(Next().timestamp, 480u);
    // Carried time beyond what one header can state goes with the messages after it.
    ASSERT_EQ(Send(AnnexB({kSei}), 9000), 1);
    ASSERT_EQ(Send(AnnexB({kSlice}), 9000), 1);
    EXPECT_EQ(Next().timestamp, 10480u);
    ASSERT_EQ(Send(AnnexB({kSlice}), 0), 1);
    EXPECT_EQ(Next().timestamp, 18480u);
    // Metadata goes on the media chunk stream and is no base for the next header; a property
    // with an empty name is left out, a missing name or object refused.
    void* md = RTMP_CreateMetaData();
    EXPECT_EQ(RTMP_AddMetaDataDouble(md, "width", 640), 1);
    EXPECT_EQ(RTMP_AddMetaDataDouble(md, "height", 480), 1);
    EXPECT_EQ(RTMP_AddMetaDataString(md, "", "skipped"), 1);
    EXPECT_EQ(RTMP_AddMetaDataString(md, "encoder", std::string(700, 'e').c_str()), 1);
    EXPECT_EQ(RTMP_AddMetaDataString(md, nullptr, "x"), 0);
    EXPECT_EQ(RTMP_AddMetaDataDouble(nullptr, "x", 1), 0);
    ASSERT_EQ(RTMP_ApplyMetaData(s.Handle(), md), 1);
    const Message meta = Next(18);
    EXPECT_EQ(meta.Header(), std::tuple(4, 0, 1u, 0u));
    EXPECT_EQ(meta.body,
              Cat({Str("@setDataFrame"), Str("onMetaData"), B(0x03), Name("width"), Num(640),
                   Name("height"), Num(480), Name("encoder"), Str(std::string(700, 'e')), kEnd}));
    ASSERT_EQ(Send(AnnexB({kSlice})), 1);
    const Message m = Next();
    EXPECT_EQ(std::pair(m.fmt, m.timestamp), std::pair(0, 18520u));
}

// The AAC header precedes the first and every hundredth frame, with that frame's configuration;
// a second publish starts both streams afresh.
TEST_F(MediaTest, AudioFramesAndASecondPublish) {
    Expect({AnnexB({kSps, kPps, kIdr})}, {{kSeqHeader, 0}, {AvcFrame(0x17, {kIdr}), 40}});
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(Send(Adts(20), 23, 8), 1);
    ASSERT_EQ(Send(Adts(10, 0x6C, 0x40), 23, 8), 1);  // 8 kHz mono
    const Message header = Next(8);
    EXPECT_EQ(header.body, kAacConfig);
    const Message first = Next(8);
    EXPECT_EQ(std::pair(first.body, first.timestamp),
              std::pair(Cat({B(0xAF, 0x01), Pattern(20, 0, 1)}), header.timestamp + 23));
    for (int i = 1; i < 100; ++i)
        EXPECT_EQ(Next(8).body[1], 0x01);
    const Message again = Next(8);
    EXPECT_EQ(again.body, (Bytes{0xAF, 0x00, 0x15, 0x88}));
    const Message last = Next(8);
    EXPECT_EQ(std::pair(last.body, last.timestamp),
              std::pair(Cat({B(0xAF, 0x01), Pattern(10, 0, 1)}), again.timestamp + 23));
    const Bytes withCrc = Adts(10, 0x50, 0x80, 0xF0);
    ASSERT_EQ(Send(withCrc, 23, 8), 1);
    const Message other = Next(8);
    EXPECT_EQ(other.body, Cat({B(0x2A), withCrc}));
    EXPECT_EQ(Send(Bytes{0xFF, 0xF1, 0x50, 0x80, 0, 0, 0}, 23, 8), 0);    // header only
    EXPECT_EQ(RTMP_SendStream(s.Handle(), withCrc.data(), 0, 23, 8), 0);  // nothing
    EXPECT_EQ(Send(Adts(10), 23, 7), 0);                                  // no such type

    ASSERT_EQ(s.Publish("live"), 1);
    ASSERT_EQ(Send(AnnexB({kSps, kPps, kIdr})), 1);
    const Message video = Next();
    // Still on the running time, with the 23 ms of the frame that was not sent.
    EXPECT_EQ(std::tuple(video.fmt, video.body, video.timestamp),
              std::tuple(0, kSeqHeader, other.timestamp + 23));
    EXPECT_EQ(Next().body, AvcFrame(0x17, {kIdr}));
    ASSERT_EQ(Send(Adts(20), 23, 8), 1);
    EXPECT_EQ(Next(8).body, kAacConfig);
    EXPECT_EQ(Next(8).body[1], 0x01);
}

TEST(ClientPieces, NalUnitsAreFoundByFourByteStartCodes) {
    const Bytes data = {0, 0, 0, 1, 0x67, 1, 0, 0, 1, 0x68, 0, 0, 0, 1, 0x65, 9};
    rtmp::ByteBuffer b = Buffer(data);
    // The 3-byte code is part of the first unit.
    EXPECT_EQ(std::pair(rtmp::NalType(b), rtmp::FindNalEnd(b)), std::pair(7, 10));
    rtmp::ByteBuffer nal;
    rtmp::TakeNal(nal, b);
    EXPECT_EQ(nal.Remaining(), 10);
    EXPECT_EQ(std::pair(rtmp::NalType(b), rtmp::FindNalEnd(b)), std::pair(5, 6));
    rtmp::ByteBuffer tiny = Buffer(Head(data, 3));
    EXPECT_EQ(std::pair(rtmp::NalType(tiny), rtmp::FindNalEnd(tiny)), std::pair(-1, 0));
    const struct {
        uint8_t a2, a3;
        int config;  // 0: not carried
    } configs[] = {{0x50, 0x80, 0x1210}, {0x6C, 0x40, 0x1588},
                   {0x4C, 0x80, 0x1190}, {0x60, 0x80, 0x1410},  // rate indexes 3 and 8
                   {0x68, 0x80, 0x1510},                        // rate index 10 (11.025 kHz)
                   {0x64, 0x80, 0},   // rate index 9 (12 kHz) is not carried
                   {0x52, 0x80, 0},   // private bit
                   {0x50, 0x81, 0},   // frame of 2048 bytes or more
                   {0x48, 0x80, 0}};  // rate index 2 (64 kHz)
    for (const auto& c : configs) {
        uint8_t out[2];
        rtmp::AdtsToAudioSpecificConfig(c.a2, c.a3, out);
        EXPECT_EQ(out[0] << 8 | out[1], c.config) << int{c.a2} << " " << int{c.a3};
    }
}

TEST(ClientPieces, ServerUrlsSplitIntoHostApplicationAndStream) {
    const struct {
        std::string url;
        const char *server, *app, *stream;  // nullptr server: refused
    } cases[] = {{"rtmp://host:1935/live/cam1", "host:1935", "live", "cam1"},
                 {"rtmp://host/encoder/abc/mp4:x", "host", "encoder/abc", "mp4:x"},
                 {"RTMP://Host/app/s", "Host", "app", "s"},
                 {"rtmp://host/app/", "host", "app", ""},
                 {"rtmp://host/app/" + std::string(495, 's'), "host", "app", nullptr},  // 511: fits
                 {"rtmp://host/app/" + std::string(496, 's'), nullptr, nullptr, nullptr},
                 {"rtmp:/host/app/s", nullptr, nullptr, nullptr},
                 {"http://host/app/s", nullptr, nullptr, nullptr},
                 {"rtmp://a/", nullptr, nullptr, nullptr},       // shorter than 10 characters
                 {"rtmp://h/app/s", nullptr, nullptr, nullptr},  // a one-character host is skipped
                 {"rtmp://host/live", nullptr, nullptr, nullptr}};  // no '/' after the application
    for (const auto& c : cases) {
        rtmp::ServerInfo h;
        ASSERT_EQ(rtmp::InitServerInfo(h, c.url.c_str()), c.server != nullptr) << c.url;
        if (c.server == nullptr)
            continue;
        EXPECT_EQ(std::tuple(h.server, h.app, h.tcUrl),
                  std::tuple(c.server, c.app, c.url.substr(0, 7) + c.server + "/" + c.app));
        if (c.stream != nullptr) {
            EXPECT_EQ(h.streamName, c.stream);
        }
    }
    rtmp::ServerInfo h;
    EXPECT_FALSE(rtmp::InitServerInfo(h, nullptr));
    const std::pair<const char*, int> ports[] = {
        {"host:1940", 1940}, {"host:", 1935}, {"host", 1935}, {"host:abc", 0}};
    for (const auto& [text, port] : ports) {
        std::string host;
        int got = -1;
        rtmp::SplitHostPort(text, &host, &got);
        EXPECT_EQ(std::pair(host, got), std::pair(std::string("host"), port)) << text;
    }
}

TEST(ClientPieces, ResultWaiterCollectsLinesAndTheVerdict) {
    char text[10] = {};
    rtmp::ResultWaiter w;
    w.text = text;
    w.capacity = sizeof text;
    rtmp::OnCallResult(&w, "123456789", 9);  // 0 + 9 + 1 is not below 10: skipped
    EXPECT_STREQ(text, "");
    rtmp::OnCallResult(&w, "12345678", 8);  // fits: ",12345678" and the terminator
    rtmp::OnCallResult(&w, "x", 1);         // no room left
    EXPECT_STREQ(text, ",12345678");
    EXPECT_EQ(w.done.load(), 0);
    EXPECT_EQ(rtmp::OnCallResult(&w, "", 0), 0);
    EXPECT_EQ(rtmp::OnCallResult(nullptr, "x", 1), 0);
    rtmp::OnCallResult(&w, "CallResult=Vistrel.Call.Failed", 30);
    EXPECT_EQ(w.done.load() * 10 + w.ok.load(), 10);
    rtmp::OnCallResult(&w, "CallResult=Vistrel.Call.Success", 31);
    EXPECT_EQ(w.ok.load(), 1);
    // A connect's verdict is its code; the wait ends at the closing line, which changes nothing.
    rtmp::ResultWaiter c;
    rtmp::OnConnectResult(&c, "level=status", 12);
    rtmp::OnConnectResult(&c, "code=NetConnection.Connect.Success", 34);
    EXPECT_EQ(c.done.load() * 10 + c.ok.load(), 1);
    rtmp::OnConnectResult(&c, "code=NetConnection.Connect.Rejected", 35);
    EXPECT_EQ(c.ok.load(), 0);
    rtmp::OnConnectResult(&c, "CallResult=Vistrel.Call.Success", 31);
    EXPECT_EQ(c.done.load() * 10 + c.ok.load(), 10);
    EXPECT_TRUE(rtmp::WaitResult(c, 1));
    rtmp::ResultWaiter never;
    EXPECT_FALSE(rtmp::WaitResult(never, 3));
}

}  // namespace
}  // namespace testpeer
