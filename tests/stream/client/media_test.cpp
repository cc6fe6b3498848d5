// What the client puts on the wire for H.264 access units and ADTS AAC frames.
#include <gtest/gtest.h>

#include <cstdio>

#include "client/aac_config.h"
#include "client/annexb_to_avc.h"
#include "peer_session.h"

namespace testpeer {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kSps = {0x67, 0x64, 0x00, 0x1F, 0xAC, 0xD9, 0x40};
const Bytes kPps = {0x68, 0xEB, 0xE3, 0xCB};
const Bytes kSei = {0x06, 0x05, 0x01, 0x02};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x00, 0x33, 0xFF};
const Bytes kSlice = {0x41, 0x9A, 0x02, 0x03};

Bytes AnnexB(std::initializer_list<const Bytes*> nals) {
    Bytes out;
    for (const Bytes* n : nals) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), n->begin(), n->end());
    }
    return out;
}

Bytes WithLength(const Bytes& nal) {
    Bytes out = {0, 0, 0, static_cast<uint8_t>(nal.size())};
    out.insert(out.end(), nal.begin(), nal.end());
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// ADTS frame: 44.1 kHz stereo AAC LC unless told otherwise, payload of n bytes.
Bytes Adts(int n, uint8_t byte2 = 0x50, uint8_t channelBits = 0x80, uint8_t byte1 = 0xF1) {
    const int len = n + 7;
    Bytes f = {0xFF,
               byte1,
               byte2,
               static_cast<uint8_t>(channelBits | ((len >> 11) & 3)),
               static_cast<uint8_t>(len >> 3),
               static_cast<uint8_t>(((len & 7) << 5) | 0x1F),
               0xFC};
    for (int i = 0; i < n; ++i)
        f.push_back(static_cast<uint8_t>(i));
    return f;
}

class MediaTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int ok = 0;
        s.Connect("live/cam", &ok);
        ASSERT_EQ(ok, 1);
        ASSERT_EQ(s.Publish("live"), 1);
    }
    int Send(const Bytes& unit, int ts, int type) {
        return RTMP_SendStream(s.Handle(), unit.data(), static_cast<int>(unit.size()), ts, type);
    }
    Message Next(int type) {
        Message m;
        EXPECT_TRUE(s.Peer().ReadMessageOfType(type, &m, 3000));
        return m;
    }
    PeerSession s;
};

TEST_F(MediaTest, FirstKeyFrameBringsTheSequenceHeader) {
    ASSERT_EQ(Send(AnnexB({&kSps, &kPps, &kSei, &kIdr}), 40, 9), 1);
    Message header = Next(9);
    EXPECT_EQ(header.chunkStream, 4);
    EXPECT_EQ(header.streamId, 1u);
    EXPECT_EQ(header.fmt, 0);
    EXPECT_EQ(header.timestamp, 0u);
    EXPECT_EQ(header.body, Cat({{0x17, 0x00, 0x00, 0x00, 0x00, 0x01, 100, 0x00, 40, 0xFF, 0xE1,
                                 0x00, static_cast<uint8_t>(kSps.size())},
                                kSps,
                                {0x01, 0x00, static_cast<uint8_t>(kPps.size())},
                                kPps}));
    Message key = Next(9);
    EXPECT_EQ(key.body, Cat({{0x17, 0x01, 0x00, 0x00, 0x00}, WithLength(kSei), WithLength(kIdr)}));
    EXPECT_EQ(key.timestamp, 40u);

    // Parameter sets repeated later are dropped: no second sequence header.
    ASSERT_EQ(Send(AnnexB({&kSps, &kPps, &kIdr}), 40, 9), 1);
    Message second = Next(9);
    EXPECT_EQ(second.body, Cat({{0x17, 0x01, 0x00, 0x00, 0x00}, WithLength(kIdr)}));
    EXPECT_EQ(second.timestamp, 80u);
    ASSERT_EQ(Send(AnnexB({&kSlice}), 40, 9), 1);
    Message inter = Next(9);
    EXPECT_EQ(inter.body, Cat({{0x27, 0x01, 0x00, 0x00, 0x00}, WithLength(kSlice)}));
    EXPECT_EQ(inter.timestamp, 120u);
}

TEST_F(MediaTest, NothingIsSentBeforeTheFirstSps) {
    EXPECT_EQ(Send(AnnexB({&kSlice}), 40, 9), 1);  // consumed
    EXPECT_EQ(Send(AnnexB({&kSps}), 40, 9), 1);    // an SPS alone: consumed
    ASSERT_EQ(Send(AnnexB({&kSps, &kPps, &kIdr}), 40, 9), 1);
    Message header = Next(9);
    EXPECT_EQ(header.body[0], 0x17);
    EXPECT_EQ(header.body[1], 0x00);
    Message key = Next(9);
    EXPECT_EQ(key.body[1], 0x01);
}

TEST_F(MediaTest, PartitionSlicesGoOutAsInterFramesAndUnitsWithoutASliceAreDropped) {
    ASSERT_EQ(Send(AnnexB({&kSps, &kPps, &kIdr}), 40, 9), 1);
    Next(9);
    Next(9);
    const Bytes partition = {0x22, 0x01, 0x02};  // type 2
    const Bytes unspecified = {0x18, 0x01};      // type 24: no slice to send
    ASSERT_EQ(Send(AnnexB({&partition}), 40, 9), 1);
    EXPECT_EQ(Next(9).body[0], 0x27);
    EXPECT_EQ(Send(AnnexB({&unspecified, &kSlice}), 40, 9), 1);
    EXPECT_EQ(Send(AnnexB({&kSei}), 40, 9), 1);
    ASSERT_EQ(Send(AnnexB({&kSlice}), 40, 9), 1);
    Message next = Next(9);  // the unit after the dropped ones
    EXPECT_EQ(next.body, Cat({{0x27, 0x01, 0x00, 0x00, 0x00}, WithLength(kSlice)}));
}

TEST_F(MediaTest, DelimitersAndSeveralSeiBeforeTheSliceDoNotDropTheUnit) {
    const Bytes aud = {0x09, 0xF0};
    const Bytes sei2 = {0x06, 0x01, 0x01, 0x80};
    ASSERT_EQ(Send(AnnexB({&aud, &kSps, &kPps, &kSei, &sei2, &kIdr}), 40, 9), 1);
    EXPECT_EQ(Next(9).body[1], 0x00);  // the sequence header
    Message key = Next(9);
    EXPECT_EQ(key.body, Cat({{0x17, 0x01, 0x00, 0x00, 0x00},
                             WithLength(kSei),
                             WithLength(sei2),
                             WithLength(kIdr)}));
    EXPECT_EQ(key.timestamp, 40u);
    ASSERT_EQ(Send(AnnexB({&aud, &kSei, &sei2, &kSlice}), 40, 9), 1);
    Message inter = Next(9);
    EXPECT_EQ(inter.body, Cat({{0x27, 0x01, 0x00, 0x00, 0x00},
                               WithLength(kSei),
                               WithLength(sei2),
                               WithLength(kSlice)}));
    EXPECT_EQ(inter.timestamp, 80u);
}

TEST_F(MediaTest, UnitBeyondTheMessageLengthLimitIsRefusedNotCut) {
    ASSERT_EQ(Send(AnnexB({&kSps, &kPps, &kIdr}), 40, 9), 1);
    Next(9);
    Next(9);
    Bytes huge = AnnexB({&kSlice});
    huge.resize(0xFFFFFF, 0x5A);  // with the five tag bytes beyond 24 bits
    EXPECT_EQ(Send(huge, 40, 9), 0);
    // The next unit goes out whole and carries the refused unit's time along.
    ASSERT_EQ(Send(AnnexB({&kSlice}), 40, 9), 1);
    Message next = Next(9);
    EXPECT_EQ(next.body, Cat({{0x27, 0x01, 0x00, 0x00, 0x00}, WithLength(kSlice)}));
    EXPECT_EQ(next.timestamp, 120u);
}

TEST_F(MediaTest, SecondPublishStartsTheStreamAfreshWithFullHeaders) {
    ASSERT_EQ(Send(AnnexB({&kSps, &kPps, &kIdr}), 40, 9), 1);
    Next(9);
    Next(9);
    ASSERT_EQ(Send(Adts(20), 23, 8), 1);
    Next(8);
    Next(8);
    ASSERT_EQ(s.Publish("live"), 1);
    // Every message after it parses, each kind starts over with its sequence header.
    ASSERT_EQ(Send(AnnexB({&kSps, &kPps, &kIdr}), 40, 9), 1);
    Message header = Next(9);
    EXPECT_EQ(header.fmt, 0);
    EXPECT_EQ(header.body[1], 0x00);
    EXPECT_EQ(Next(9).body, Cat({{0x17, 0x01, 0x00, 0x00, 0x00}, WithLength(kIdr)}));
    ASSERT_EQ(Send(Adts(20), 23, 8), 1);
    EXPECT_EQ(Next(8).body, (Bytes{0xAF, 0x00, 0x12, 0x10}));
    EXPECT_EQ(Next(8).body[1], 0x01);
}

TEST_F(MediaTest, TwoSlicesEachGetTheirOwnLength) {
    ASSERT_EQ(Send(AnnexB({&kSps, &kPps, &kIdr, &kIdr}), 40, 9), 1);
    Next(9);
    EXPECT_EQ(Next(9).body,
              Cat({{0x17, 0x01, 0x00, 0x00, 0x00}, WithLength(kIdr), WithLength(kIdr)}));
}

TEST_F(MediaTest, AacSequenceHeaderBeforeFirstAndEveryHundredthFrame) {
    for (int i = 0; i < 101; ++i)
        ASSERT_EQ(Send(Adts(20), 23, 8), 1);
    Message header = Next(8);
    EXPECT_EQ(header.body, (Bytes{0xAF, 0x00, 0x12, 0x10}));
    Message first = Next(8);
    const Bytes frame = Adts(20);
    EXPECT_EQ(first.body, Cat({{0xAF, 0x01}, Bytes(frame.begin() + 7, frame.end())}));
    EXPECT_EQ(first.timestamp, header.timestamp + 23);
    for (int i = 1; i < 100; ++i)
        EXPECT_EQ(Next(8).body[1], 0x01);
    Message again = Next(8);
    EXPECT_EQ(again.body, (Bytes{0xAF, 0x00, 0x12, 0x10}));
    Message last = Next(8);
    EXPECT_EQ(last.body[1], 0x01);
    EXPECT_EQ(last.timestamp, again.timestamp + 23);
}

TEST_F(MediaTest, AudioConfigsAndNonAdtsAudio) {
    ASSERT_EQ(Send(Adts(10, 0x6C, 0x40), 23, 8), 1);  // 8 kHz mono
    EXPECT_EQ(Next(8).body, (Bytes{0xAF, 0x00, 0x15, 0x88}));
    Next(8);
    const Bytes withCrc = Adts(10, 0x50, 0x80, 0xF0);
    ASSERT_EQ(Send(withCrc, 23, 8), 1);
    EXPECT_EQ(Next(8).body, Cat({{0x2A}, withCrc}));
    EXPECT_EQ(Send(Bytes{0xFF, 0xF1, 0x50, 0x80, 0, 0, 0}, 23, 8), 0);  // header only
    EXPECT_EQ(Send(Adts(10), 23, 7), 0);                                // no such type
}

TEST_F(MediaTest, TimestampsStayMonotonicAcrossControlMessagesAndBigDeltas) {
    ASSERT_EQ(Send(AnnexB({&kSps, &kPps, &kIdr}), 40, 9), 1);
    Next(9);
    EXPECT_EQ(Next(9).timestamp, 40u);
    ASSERT_EQ(Send(AnnexB({&kSlice}), 40, 9), 1);
    EXPECT_EQ(Next(9).timestamp, 80u);
    // A ping answer goes out on the shared writer with stream id 0...
    ASSERT_TRUE(s.Peer().SendMessage(2, 4, 0, 0, {0x00, 0x06, 0x00, 0x00, 0x00, 0x01}));
    Next(4);
    // ...and the next media message still carries the running time.
    ASSERT_EQ(Send(AnnexB({&kSlice}), 40, 9), 1);
    Message after = Next(9);
    EXPECT_EQ(after.fmt, 0);
    EXPECT_EQ(after.timestamp, 120u);
    // A delta beyond 10 s restarts at 0: no time is added.
    ASSERT_EQ(Send(AnnexB({&kSlice}), 12000, 9), 1);
    EXPECT_EQ(Next(9).timestamp, 120u);
    ASSERT_EQ(Send(AnnexB({&kSlice}), -5, 9), 1);
    EXPECT_EQ(Next(9).timestamp, 120u);
}

TEST_F(MediaTest, MetadataResetsTheMediaHeaderHistory) {
    ASSERT_EQ(Send(AnnexB({&kSps, &kPps, &kIdr}), 40, 9), 1);
    Next(9);
    Next(9);
    void* md = RTMP_CreateMetaData();
    RTMP_AddMetaDataDouble(md, "width", 2);
    ASSERT_EQ(RTMP_ApplyMetaData(s.Handle(), md), 1);
    Next(18);
    ASSERT_EQ(Send(AnnexB({&kSlice}), 40, 9), 1);
    Message m = Next(9);
    EXPECT_EQ(m.fmt, 0);  // the metadata header on this chunk stream is not a base
    EXPECT_EQ(m.timestamp, 80u);
}

TEST(NalUnits, FindsOnlyFourByteStartCodes) {
    rtmp::ByteBuffer b;
    const Bytes data = {0, 0, 0, 1, 0x67, 1, 0, 0, 1, 0x68, 0, 0, 0, 1, 0x65, 9};
    b.PutBytes(data.data(), static_cast<int>(data.size()));
    b.Flip();
    EXPECT_EQ(rtmp::NalType(b), 7);
    EXPECT_EQ(rtmp::FindNalEnd(b), 10);  // the 3-byte code is part of the first unit
    rtmp::ByteBuffer nal;
    rtmp::TakeNal(nal, b);
    EXPECT_EQ(nal.Remaining(), 10);
    EXPECT_EQ(rtmp::NalType(b), 5);
    EXPECT_EQ(rtmp::FindNalEnd(b), 6);
    rtmp::ByteBuffer tiny;
    tiny.PutBytes(data.data(), 3);
    tiny.Flip();
    EXPECT_EQ(rtmp::FindNalEnd(tiny), 0);
    EXPECT_EQ(rtmp::NalType(tiny), -1);
}

TEST(NalUnits, AudioSpecificConfigFromAdts) {
    uint8_t c[2];
    rtmp::AdtsToAudioSpecificConfig(0x50, 0x80, c);  // 44.1 kHz stereo
    EXPECT_EQ(c[0], 0x12);
    EXPECT_EQ(c[1], 0x10);
    rtmp::AdtsToAudioSpecificConfig(0x6C, 0x40, c);  // 8 kHz mono
    EXPECT_EQ(c[0], 0x15);
    EXPECT_EQ(c[1], 0x88);
    rtmp::AdtsToAudioSpecificConfig(0x52, 0x80, c);  // private bit
    EXPECT_EQ(c[0] | c[1], 0);
    rtmp::AdtsToAudioSpecificConfig(0x50, 0x81, c);  // frame of 2048 bytes or more
    EXPECT_EQ(c[0] | c[1], 0);
    rtmp::AdtsToAudioSpecificConfig(0x48, 0x80, c);  // rate index 2 (64 kHz): not carried
    EXPECT_EQ(c[0] | c[1], 0);
}

}  // namespace
}  // namespace testpeer
