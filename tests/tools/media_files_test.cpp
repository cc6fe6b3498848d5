// The tools' file parsers on hand-made streams (ffmpeg's files: rtmp_tools_test).
#include "media_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <tuple>
#include <vector>

namespace rtmp::media {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// NAL units, header byte first. Slices: the bit after the header is 1 when first_mb_in_slice is 0.
const Bytes kAud{0x09, 0xF0}, kSps{0x67, 0x64, 0x00, 0x1E, 0xAC}, kPps{0x68, 0xEE, 0x3C, 0x80},
    kSei{0x06, 0x05, 0x11, 0x80}, kIdr{0x65, 0x88, 0x84, 0x21}, kP1{0x41, 0x9A, 0x22},
    kP2{0x41, 0x9B, 0x33}, kP2SecondSlice{0x41, 0x40, 0x44};  // first_mb_in_slice = 1

TEST(AnnexB, NalUnitsAndAccessUnits) {
    const std::pair<Bytes, std::vector<Bytes>> nalCases[] = {
        // Bytes before a start code, trailing zeros and empty units dropped; escapes kept.
        {Cat({{0x12, 0x34, 0, 0, 1, 0x67, 0x42, 0, 0},
              {0, 0, 0, 1, 0x68, 0xCE},
              {0, 0, 1},
              {0, 0, 1, 0x65, 0x00, 0x00, 0x03, 0x01}}),
         {{0x67, 0x42}, {0x68, 0xCE}, {0x65, 0x00, 0x00, 0x03, 0x01}}},
        {{}, {}},
        {{0x65, 0x88, 0x00}, {}},
        {{0, 0, 1}, {}},
        {{0, 0, 1, 0x41, 0x9A, 0, 0}, {{0x41, 0x9A}}},
    };
    for (const auto& [stream, expected] : nalCases) {
        std::vector<Bytes> units;
        for (auto u : SplitNalUnits(stream))
            units.emplace_back(u.begin(), u.end());
        EXPECT_EQ(units, expected) << ::testing::PrintToString(stream);
    }

    struct Case {
        const char* name;
        std::vector<Bytes> nals;  // in the stream, behind start codes of 3 and 4 bytes
        std::vector<std::vector<Bytes>> units;  // the NAL units of each access unit
    };
    const Case cases[] = {
        {"delimiters",
         {kAud, kSps, kPps, kSei, kIdr, kAud, kP1, kAud, kP2},
         {{kSps, kPps, kSei, kIdr}, {kP1}, {kP2}}},
        // Without delimiters: at the first slice of a picture and at parameter sets.
        {"slices",
         {kSps, kPps, kIdr, kP1, kP2, kP2SecondSlice, kSps, kPps, kIdr},
         {{kSps, kPps, kIdr}, {kP1}, {kP2, kP2SecondSlice}, {kSps, kPps, kIdr}}},
        {"sei after a slice", {kP1, kSei, kP2}, {{kP1}, {kSei, kP2}}},
        {"only delimiters", {kAud, kAud}, {}},
        {"no picture", {kSps, kPps}, {{kSps, kPps}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes stream;
        for (size_t i = 0; i < c.nals.size(); ++i)
            stream = Cat({stream, i % 2 == 0 ? Bytes{0, 0, 0, 1} : Bytes{0, 0, 1}, c.nals[i]});
        std::vector<std::tuple<Bytes, Bytes, bool, bool>> got, want;
        for (const AccessUnit& au : SplitAccessUnits(stream))
            got.emplace_back(au.data, au.nalTypes, au.keyFrame, au.hasPicture);
        for (size_t i = 0; i < c.units.size(); ++i) {
            // 4-byte start codes, no delimiters; a key frame holds an IDR slice.
            Bytes data, types;
            for (const Bytes& nal : c.units[i]) {
                data = Cat({data, {0, 0, 0, 1}, nal});
                types.push_back(nal[0] & 0x1F);
            }
            want.emplace_back(data, types, std::count(types.begin(), types.end(), 5) > 0,
                              types.back() <= 5);
        }
        EXPECT_EQ(got, want);
    }
}

// An ADTS frame built field by field, its payload filled up to frameLength.
Bytes Adts(int frameLength, bool crc = false, int rateIndex = 4, int channels = 2, int profile = 2,
           int blocks = 1) {
    const uint64_t bits = 0xFFFull << 44 | uint64_t{!crc} << 40 | uint64_t(profile - 1) << 38 |
                          uint64_t(rateIndex) << 34 | uint64_t(channels) << 30 |
                          uint64_t(frameLength) << 13 | 0x7FFull << 2 | uint64_t(blocks - 1);
    Bytes f;
    for (int shift = 48; shift >= 0; shift -= 8)
        f.push_back(static_cast<uint8_t>(bits >> shift));
    f.resize(std::max<size_t>(f.size(), static_cast<size_t>(frameLength)), 0x5A);
    return f;
}

// Offset, size, header size, profile, sample rate, channels, raw blocks.
using Frame = std::tuple<size_t, size_t, int, int, int, int, int>;

TEST(AdtsSplit, FieldsOfEveryFrameAndWhereTheStreamStops) {
    struct Case {
        const char* name;
        Bytes stream;
        std::vector<Frame> frames;
        bool truncated;
        const char* error;  // part of the complaint, "" for none
    };
    const Bytes twenty = Adts(27);
    Bytes noSync = twenty, layer1 = twenty;
    noSync[1] = 0xE1;
    layer1[1] |= 0x02;
    const Frame first = {0, 27, 7, 2, 44100, 2, 1};
    const Case cases[] = {
        {"whole",
         Cat({Adts(17), Adts(309, true), Adts(8)}),  // the last with one byte of payload
         {{0, 17, 7, 2, 44100, 2, 1}, {17, 309, 9, 2, 44100, 2, 1}, {326, 8, 7, 2, 44100, 2, 1}},
         false,
         ""},
        {"widest fields", Adts(8191, true, 11, 7, 1, 4), {{0, 8191, 9, 1, 8000, 7, 4}}, false, ""},
        {"frame cut", Cat({twenty, Bytes(twenty.begin(), twenty.end() - 1)}), {first}, true, ""},
        {"header cut", Cat({twenty, {0xFF, 0xF1, 0x50, 0x80, 0x2E}}), {first}, true, ""},
        {"no sync", Cat({twenty, noSync}), {first}, false, "sync word at offset 27"},
        {"layer", Cat({twenty, layer1}), {first}, false, "layer"},
        {"reserved rate", Cat({twenty, Adts(100, false, 13)}), {first}, false, "sampling"},
        {"no payload", Adts(7), {}, false, "exceed"},
        {"no payload after a CRC", Adts(9, true), {}, false, "exceed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const AdtsSplit split = SplitAdtsFrames(c.stream);
        std::vector<Frame> frames;
        for (const AdtsFrame& f : split.frames)
            frames.emplace_back(f.offset, f.size, f.headerSize, f.profile, f.sampleRate,
                                f.channelConfig, f.rawBlocks);
        EXPECT_EQ(frames, c.frames);
        const size_t end =
            c.frames.empty() ? 0 : std::get<0>(c.frames.back()) + std::get<1>(c.frames.back());
        EXPECT_EQ(std::tuple(split.truncated, split.consumed), std::tuple(c.truncated, end));
        EXPECT_EQ(split.error.empty(), *c.error == '\0') << split.error;
        EXPECT_NE(split.error.find(c.error), std::string::npos) << split.error;
    }
    const std::pair<int, int> rates[] = {{0, 96000}, {3, 48000}, {12, 7350}, {13, 0}, {-1, 0}};
    for (const auto& [index, rate] : rates)
        EXPECT_EQ(AdtsSampleRate(index), rate) << index;
}

}  // namespace
}  // namespace rtmp::media
