#include "media_files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <initializer_list>
#include <vector>

#include "support/child_process.h"
#include "support/media_tools.h"

namespace rtmp::media {
namespace {

using Bytes = std::vector<uint8_t>;

void Add(Bytes& out, std::initializer_list<uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// NAL units as they appear in a stream: start code, header byte, payload.
Bytes Nal4(std::initializer_list<uint8_t> nal) {
    Bytes b{0, 0, 0, 1};
    b.insert(b.end(), nal.begin(), nal.end());
    return b;
}
Bytes Nal3(std::initializer_list<uint8_t> nal) {
    Bytes b{0, 0, 1};
    b.insert(b.end(), nal.begin(), nal.end());
    return b;
}

const Bytes kAud = Nal4({0x09, 0xF0});
const Bytes kSps = Nal4({0x67, 0x64, 0x00, 0x1E, 0xAC});
const Bytes kPps = Nal3({0x68, 0xEE, 0x3C, 0x80});
const Bytes kSei = Nal3({0x06, 0x05, 0x11, 0x80});
// Slices: the bit after the header byte is 1 when first_mb_in_slice is 0.
const Bytes kIdr = Nal3({0x65, 0x88, 0x84, 0x21});
const Bytes kP1 = Nal4({0x41, 0x9A, 0x22});
const Bytes kP2 = Nal3({0x41, 0x9B, 0x33});
const Bytes kP2SecondSlice = Nal3({0x41, 0x40, 0x44});  // first_mb_in_slice = 1

std::vector<Bytes> AsVectors(const std::vector<std::span<const uint8_t>>& units) {
    std::vector<Bytes> out;
    for (auto u : units) {
        out.emplace_back(u.begin(), u.end());
    }
    return out;
}

TEST(AnnexBNalUnits, MixedStartCodesGarbageAndPadding) {
    Bytes s{0x12, 0x34};                              // before any start code: ignored
    Add(s, {0, 0, 1, 0x67, 0x42, 0, 0});              // trailing zeros belong to no unit
    Add(s, {0, 0, 0, 1, 0x68, 0xCE});                 // 4-byte start code
    Add(s, {0, 0, 1});                                // empty unit
    Add(s, {0, 0, 1, 0x65, 0x00, 0x00, 0x03, 0x01});  // escaped zeros stay inside
    const std::vector<Bytes> units = AsVectors(SplitNalUnits(s));
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0], (Bytes{0x67, 0x42}));
    EXPECT_EQ(units[1], (Bytes{0x68, 0xCE}));
    EXPECT_EQ(units[2], (Bytes{0x65, 0x00, 0x00, 0x03, 0x01}));
}

TEST(AnnexBNalUnits, NoStartCodeOrCutStartCode) {
    EXPECT_TRUE(SplitNalUnits(Bytes{}).empty());
    EXPECT_TRUE(SplitNalUnits(Bytes{0x65, 0x88, 0x00}).empty());
    EXPECT_TRUE(SplitNalUnits(Bytes{0, 0, 1}).empty());
    const std::vector<Bytes> units = AsVectors(SplitNalUnits(Bytes{0, 0, 1, 0x41, 0x9A, 0, 0}));
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0], (Bytes{0x41, 0x9A}));
}

TEST(AccessUnits, DelimitersDroppedAndFourByteStartCodes) {
    const Bytes stream = Concat({kAud, kSps, kPps, kSei, kIdr, kAud, kP1, kAud, kP2});
    const std::vector<AccessUnit> aus = SplitAccessUnits(stream);
    ASSERT_EQ(aus.size(), 3u);
    EXPECT_EQ(aus[0].nalTypes, (Bytes{7, 8, 6, 5}));
    EXPECT_TRUE(aus[0].keyFrame);
    EXPECT_TRUE(aus[0].hasPicture);
    EXPECT_EQ(aus[0].data,
              Concat({kSps, Nal4({0x68, 0xEE, 0x3C, 0x80}), Nal4({0x06, 0x05, 0x11, 0x80}),
                      Nal4({0x65, 0x88, 0x84, 0x21})}));
    EXPECT_EQ(aus[1].data, kP1);
    EXPECT_FALSE(aus[1].keyFrame);
    EXPECT_EQ(aus[2].data, Nal4({0x41, 0x9B, 0x33}));
}

TEST(AccessUnits, WithoutDelimitersSplitAtFirstSliceAndParameterSets) {
    const Bytes stream = Concat({kSps, kPps, kIdr, kP1, kP2, kP2SecondSlice, kSps, kPps, kIdr});
    const std::vector<AccessUnit> aus = SplitAccessUnits(stream);
    ASSERT_EQ(aus.size(), 4u);
    EXPECT_EQ(aus[0].nalTypes, (Bytes{7, 8, 5}));
    EXPECT_EQ(aus[1].nalTypes, (Bytes{1}));
    EXPECT_EQ(aus[2].nalTypes, (Bytes{1, 1}));  // the second slice of the same picture
    EXPECT_EQ(aus[3].nalTypes, (Bytes{7, 8, 5}));
    EXPECT_TRUE(aus[3].keyFrame);
}

TEST(AccessUnits, SeiAfterSliceOpensNextUnitAndOnlyDelimitersYieldNothing) {
    const std::vector<AccessUnit> aus = SplitAccessUnits(Concat({kP1, kSei, kP2}));
    ASSERT_EQ(aus.size(), 2u);
    EXPECT_EQ(aus[1].nalTypes, (Bytes{6, 1}));
    EXPECT_TRUE(SplitAccessUnits(Concat({kAud, kAud})).empty());
    const std::vector<AccessUnit> noPicture = SplitAccessUnits(Concat({kSps, kPps}));
    ASSERT_EQ(noPicture.size(), 1u);
    EXPECT_FALSE(noPicture[0].hasPicture);
}

// An ADTS header built field by field.
Bytes AdtsHeader(int frameLength, int sampleRateIndex, int channels, bool crc = false,
                 int profile = 2, int blocks = 1) {
    Bytes h{0xFF,
            static_cast<uint8_t>(crc ? 0xF0 : 0xF1),
            static_cast<uint8_t>(((profile - 1) << 6) | (sampleRateIndex << 2) | (channels >> 2)),
            static_cast<uint8_t>(((channels & 3) << 6) | ((frameLength >> 11) & 3)),
            static_cast<uint8_t>((frameLength >> 3) & 0xFF),
            static_cast<uint8_t>(((frameLength & 7) << 5) | 0x1F),
            static_cast<uint8_t>(0xFC | (blocks - 1))};
    if (crc) {
        Add(h, {0xAB, 0xCD});
    }
    return h;
}

Bytes AdtsFrameBytes(int payload, int sampleRateIndex = 4, int channels = 2, bool crc = false) {
    const int header = crc ? 9 : 7;
    Bytes f = AdtsHeader(header + payload, sampleRateIndex, channels, crc);
    f.resize(f.size() + static_cast<std::size_t>(payload), 0x5A);
    return f;
}

TEST(AdtsHeader, FieldsDecoded) {
    std::string error;
    auto f = ParseAdtsHeader(AdtsHeader(371, 4, 2), &error);
    ASSERT_TRUE(f.has_value()) << error;
    EXPECT_EQ(f->size, 371u);
    EXPECT_EQ(f->headerSize, 7);
    EXPECT_EQ(f->profile, 2);
    EXPECT_EQ(f->sampleRate, 44100);
    EXPECT_EQ(f->channelConfig, 2);
    EXPECT_EQ(f->rawBlocks, 1);

    f = ParseAdtsHeader(AdtsHeader(8191, 11, 7, true, 1, 4), &error);
    ASSERT_TRUE(f.has_value()) << error;
    EXPECT_EQ(f->size, 8191u);  // largest 13-bit length
    EXPECT_EQ(f->headerSize, 9);
    EXPECT_EQ(f->sampleRate, 8000);
    EXPECT_EQ(f->channelConfig, 7);
    EXPECT_EQ(f->profile, 1);
    EXPECT_EQ(f->rawBlocks, 4);
}

TEST(AdtsHeader, Rejected) {
    std::string error;
    EXPECT_FALSE(ParseAdtsHeader(Bytes{0xFF, 0xF1, 0x50, 0x80, 0x2E}, &error));
    EXPECT_TRUE(error.empty());  // too short is not an error of the header
    Bytes h = AdtsHeader(100, 4, 2);
    h[1] = 0xE1;  // sync word cut
    EXPECT_FALSE(ParseAdtsHeader(h, &error));
    EXPECT_NE(error.find("sync"), std::string::npos);
    h = AdtsHeader(100, 4, 2);
    h[1] |= 0x02;  // layer 1
    EXPECT_FALSE(ParseAdtsHeader(h, &error));
    EXPECT_FALSE(ParseAdtsHeader(AdtsHeader(100, 13, 2), &error));
    EXPECT_NE(error.find("sampling"), std::string::npos);
    EXPECT_FALSE(ParseAdtsHeader(AdtsHeader(7, 4, 2), &error));  // no payload
    EXPECT_FALSE(ParseAdtsHeader(AdtsHeader(9, 4, 2, true), &error));
    EXPECT_TRUE(ParseAdtsHeader(AdtsHeader(8, 4, 2), &error));
}

TEST(AdtsSplit, WholeFramesInOrder) {
    const Bytes s =
        Concat({AdtsFrameBytes(10), AdtsFrameBytes(300, 4, 2, true), AdtsFrameBytes(1)});
    const AdtsSplit split = SplitAdtsFrames(s);
    EXPECT_TRUE(split.error.empty());
    EXPECT_FALSE(split.truncated);
    ASSERT_EQ(split.frames.size(), 3u);
    EXPECT_EQ(split.frames[0].offset, 0u);
    EXPECT_EQ(split.frames[0].size, 17u);
    EXPECT_EQ(split.frames[1].offset, 17u);
    EXPECT_EQ(split.frames[1].size, 309u);
    EXPECT_EQ(split.frames[2].offset, 326u);
    EXPECT_EQ(split.consumed, s.size());
}

TEST(AdtsSplit, TruncatedTailStopsCleanly) {
    Bytes s = Concat({AdtsFrameBytes(20), AdtsFrameBytes(20)});
    s.pop_back();  // last frame one byte short
    AdtsSplit split = SplitAdtsFrames(s);
    EXPECT_TRUE(split.truncated);
    EXPECT_TRUE(split.error.empty());
    ASSERT_EQ(split.frames.size(), 1u);
    EXPECT_EQ(split.consumed, 27u);

    s = Concat({AdtsFrameBytes(20), Bytes{0xFF, 0xF1, 0x50}});  // header cut
    split = SplitAdtsFrames(s);
    EXPECT_TRUE(split.truncated);
    EXPECT_EQ(split.frames.size(), 1u);
}

TEST(AdtsSplit, BrokenHeaderStopsWithError) {
    const Bytes s = Concat({AdtsFrameBytes(20), Bytes(12, 0x00), AdtsFrameBytes(20)});
    const AdtsSplit split = SplitAdtsFrames(s);
    EXPECT_FALSE(split.truncated);
    EXPECT_NE(split.error.find("offset 27"), std::string::npos) << split.error;
    EXPECT_EQ(split.frames.size(), 1u);
    EXPECT_EQ(split.consumed, 27u);
}

TEST(AdtsSampleRates, TableAndReserved) {
    EXPECT_EQ(AdtsSampleRate(0), 96000);
    EXPECT_EQ(AdtsSampleRate(3), 48000);
    EXPECT_EQ(AdtsSampleRate(12), 7350);
    EXPECT_EQ(AdtsSampleRate(13), 0);
    EXPECT_EQ(AdtsSampleRate(-1), 0);
}

// Files written by ffmpeg, split and checked against ffprobe.
TEST(MediaFilesFromEncoder, H264AccessUnitsMatchEncodedPictures) {
    test::TempDir dir("media_files");
    const auto h264 = dir / "in.h264";
    std::string error;
    ASSERT_TRUE(test::MakeTestH264(h264, 320, 240, 25, 60, 25, &error)) << error;
    const auto bytes = ReadFileBytes(h264);
    ASSERT_TRUE(bytes.has_value());
    const std::vector<AccessUnit> aus = SplitAccessUnits(*bytes);
    ASSERT_EQ(aus.size(), 60u);
    for (std::size_t i = 0; i < aus.size(); ++i) {
        EXPECT_TRUE(aus[i].hasPicture) << i;
        EXPECT_EQ(aus[i].keyFrame, i % 25 == 0) << i;
        // One slice per picture, as the library expects.
        int slices = 0;
        for (uint8_t t : aus[i].nalTypes) {
            slices += (t == 1 || t == 5) ? 1 : 0;
        }
        EXPECT_EQ(slices, 1) << i;
    }
    EXPECT_EQ(aus[0].nalTypes.front(), kNalSps);

    // The units written back one after the other decode to the same pictures.
    const auto rebuilt = dir / "rebuilt.h264";
    {
        std::ofstream out(rebuilt, std::ios::binary);
        for (const AccessUnit& au : aus) {
            out.write(reinterpret_cast<const char*>(au.data.data()),
                      static_cast<std::streamsize>(au.data.size()));
        }
    }
    const test::ProbeResult probe = test::Probe(rebuilt);
    ASSERT_TRUE(probe.ok) << probe.error;
    ASSERT_NE(probe.Video(), nullptr);
    EXPECT_EQ(probe.Video()->frames, 60);
    EXPECT_EQ(probe.Video()->width, 320);
    EXPECT_EQ(test::DecodeErrors(rebuilt), "");
}

TEST(MediaFilesFromEncoder, AdtsFramesMatchProbedPackets) {
    test::TempDir dir("media_files");
    const auto aac = dir / "in.aac";
    std::string error;
    ASSERT_TRUE(test::MakeTestAdts(aac, 48000, 1, 2.0, &error)) << error;
    const auto bytes = ReadFileBytes(aac);
    ASSERT_TRUE(bytes.has_value());
    const AdtsSplit split = SplitAdtsFrames(*bytes);
    EXPECT_TRUE(split.error.empty()) << split.error;
    EXPECT_FALSE(split.truncated);
    EXPECT_EQ(split.consumed, bytes->size());
    const test::ProbeResult probe = test::Probe(aac);
    ASSERT_TRUE(probe.ok) << probe.error;
    ASSERT_NE(probe.Audio(), nullptr);
    EXPECT_EQ(static_cast<long>(split.frames.size()), probe.Audio()->packets);
    ASSERT_FALSE(split.frames.empty());
    EXPECT_EQ(split.frames[0].sampleRate, 48000);
    EXPECT_EQ(split.frames[0].channelConfig, 1);
    EXPECT_EQ(split.frames[0].profile, 2);
}

}  // namespace
}  // namespace rtmp::media
