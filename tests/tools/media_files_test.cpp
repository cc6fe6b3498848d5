// The tools' file parsers on hand-made streams. (Files from ffmpeg go through them end to end in
// rtmp_tools_test.)
#include "media_files.h"

#include <gtest/gtest.h>

#include <initializer_list>
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

// A NAL unit as it appears in a stream: a 4- or 3-byte start code, header byte, payload.
Bytes Nal(bool longCode, Bytes nal) {
    return Cat({longCode ? Bytes{0, 0, 0, 1} : Bytes{0, 0, 1}, nal});
}

const Bytes kAud = Nal(true, {0x09, 0xF0});
const Bytes kSps = Nal(true, {0x67, 0x64, 0x00, 0x1E, 0xAC});
const Bytes kPps = Nal(false, {0x68, 0xEE, 0x3C, 0x80});
const Bytes kSei = Nal(false, {0x06, 0x05, 0x11, 0x80});
// Slices: the bit after the header byte is 1 when first_mb_in_slice is 0.
const Bytes kIdr = Nal(false, {0x65, 0x88, 0x84, 0x21});
const Bytes kP1 = Nal(true, {0x41, 0x9A, 0x22});
const Bytes kP2 = Nal(false, {0x41, 0x9B, 0x33});
const Bytes kP2SecondSlice = Nal(false, {0x41, 0x40, 0x44});  // first_mb_in_slice = 1

TEST(AnnexBNalUnits, StartCodesGarbagePaddingAndCuts) {
    struct Case {
        Bytes stream;
        std::vector<Bytes> units;
    };
    const Case cases[] = {
        // Bytes before any start code are ignored, trailing zeros belong to no unit, an empty
        // unit is skipped, escaped zeros stay inside.
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
    for (const Case& c : cases) {
        std::vector<Bytes> units;
        for (auto u : SplitNalUnits(c.stream))
            units.emplace_back(u.begin(), u.end());
        EXPECT_EQ(units, c.units) << ::testing::PrintToString(c.stream);
    }
}

TEST(AccessUnits, SplitRules) {
    struct Case {
        const char* name;
        Bytes stream;
        std::vector<Bytes> types;  // NAL types of each access unit
        std::vector<bool> key;
    };
    const Case cases[] = {
        {"delimiters",
         Cat({kAud, kSps, kPps, kSei, kIdr, kAud, kP1, kAud, kP2}),
         {{7, 8, 6, 5}, {1}, {1}},
         {true, false, false}},
        // Without delimiters: at the first slice of a picture and at parameter sets.
        {"slices",
         Cat({kSps, kPps, kIdr, kP1, kP2, kP2SecondSlice, kSps, kPps, kIdr}),
         {{7, 8, 5}, {1}, {1, 1}, {7, 8, 5}},
         {true, false, false, true}},
        {"sei after a slice", Cat({kP1, kSei, kP2}), {{1}, {6, 1}}, {false, false}},
        {"only delimiters", Cat({kAud, kAud}), {}, {}},
        {"no picture", Cat({kSps, kPps}), {{7, 8}}, {false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<AccessUnit> aus = SplitAccessUnits(c.stream);
        ASSERT_EQ(aus.size(), c.types.size());
        for (size_t i = 0; i < aus.size(); ++i) {
            EXPECT_EQ(aus[i].nalTypes, c.types[i]) << i;
            EXPECT_EQ(aus[i].keyFrame, c.key[i]) << i;
            EXPECT_EQ(aus[i].hasPicture, c.types[i].back() <= 5) << i;
        }
    }
    // Every unit written back with a 4-byte start code, delimiters left out.
    const auto aus = SplitAccessUnits(Cat({kAud, kSps, kPps, kSei, kIdr, kAud, kP1, kAud, kP2}));
    EXPECT_EQ(aus[0].data,
              Cat({kSps, Nal(true, {0x68, 0xEE, 0x3C, 0x80}), Nal(true, {0x06, 0x05, 0x11, 0x80}),
                   Nal(true, {0x65, 0x88, 0x84, 0x21})}));
    EXPECT_EQ(aus[1].data, kP1);
    EXPECT_EQ(aus[2].data, Nal(true, {0x41, 0x9B, 0x33}));
}

// An ADTS header built field by field.
Bytes AdtsHeader(int frameLength, int rateIndex, int channels, bool crc = false, int profile = 2,
                 int blocks = 1) {
    Bytes h{0xFF,
            static_cast<uint8_t>(crc ? 0xF0 : 0xF1),
            static_cast<uint8_t>(((profile - 1) << 6) | (rateIndex << 2) | (channels >> 2)),
            static_cast<uint8_t>(((channels & 3) << 6) | ((frameLength >> 11) & 3)),
            static_cast<uint8_t>((frameLength >> 3) & 0xFF),
            static_cast<uint8_t>(((frameLength & 7) << 5) | 0x1F),
            static_cast<uint8_t>(0xFC | (blocks - 1))};
    return crc ? Cat({h, {0xAB, 0xCD}}) : h;
}

Bytes AdtsFrameBytes(int payload, bool crc = false) {
    Bytes f = AdtsHeader((crc ? 9 : 7) + payload, 4, 2, crc);
    f.resize(f.size() + static_cast<size_t>(payload), 0x5A);
    return f;
}

TEST(AdtsHeader, FieldsAndRefusals) {
    struct Case {
        Bytes header;
        bool ok;
        size_t size;
        int headerSize, profile, rate, channels, blocks;
        const char* error;  // part of the complaint when refused
    };
    Bytes noSync = AdtsHeader(100, 4, 2), layer1 = AdtsHeader(100, 4, 2);
    noSync[1] = 0xE1;
    layer1[1] |= 0x02;
    const Case cases[] = {
        {AdtsHeader(371, 4, 2), true, 371, 7, 2, 44100, 2, 1, ""},
        {AdtsHeader(8191, 11, 7, true, 1, 4), true, 8191, 9, 1, 8000, 7, 4, ""},  // 13 bits
        {AdtsHeader(8, 4, 2), true, 8, 7, 2, 44100, 2, 1, ""},          // one byte of payload
        {{0xFF, 0xF1, 0x50, 0x80, 0x2E}, false, 0, 0, 0, 0, 0, 0, ""},  // too short: no complaint
        {noSync, false, 0, 0, 0, 0, 0, 0, "sync"},
        {layer1, false, 0, 0, 0, 0, 0, 0, ""},
        {AdtsHeader(100, 13, 2), false, 0, 0, 0, 0, 0, 0, "sampling"},
        {AdtsHeader(7, 4, 2), false, 0, 0, 0, 0, 0, 0, ""},  // no payload
        {AdtsHeader(9, 4, 2, true), false, 0, 0, 0, 0, 0, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.header));
        std::string error;
        const auto f = ParseAdtsHeader(c.header, &error);
        ASSERT_EQ(f.has_value(), c.ok) << error;
        if (!c.ok) {
            EXPECT_EQ(error.empty(), c.header.size() < 7);
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
            continue;
        }
        EXPECT_EQ(f->size, c.size);
        EXPECT_EQ(f->headerSize, c.headerSize);
        EXPECT_EQ(f->profile, c.profile);
        EXPECT_EQ(f->sampleRate, c.rate);
        EXPECT_EQ(f->channelConfig, c.channels);
        EXPECT_EQ(f->rawBlocks, c.blocks);
    }
    const std::pair<int, int> rates[] = {{0, 96000}, {3, 48000}, {12, 7350}, {13, 0}, {-1, 0}};
    for (const auto& [index, rate] : rates)
        EXPECT_EQ(AdtsSampleRate(index), rate) << index;
}

TEST(AdtsSplit, WholeTruncatedAndBrokenStreams) {
    struct Case {
        const char* name;
        Bytes stream;
        std::vector<size_t> offsets, sizes;
        bool truncated;
        size_t consumed;
        const char* error;
    };
    const Bytes twenty = AdtsFrameBytes(20);
    Bytes cut = Cat({twenty, twenty});
    cut.pop_back();  // the last frame one byte short
    const Case cases[] = {
        {"whole",
         Cat({AdtsFrameBytes(10), AdtsFrameBytes(300, true), AdtsFrameBytes(1)}),
         {0, 17, 326},
         {17, 309, 8},
         false,
         334,
         ""},
        {"frame cut", cut, {0}, {27}, true, 27, ""},
        {"header cut", Cat({twenty, {0xFF, 0xF1, 0x50}}), {0}, {27}, true, 27, ""},
        {"broken header",
         Cat({twenty, Bytes(12, 0x00), twenty}),
         {0},
         {27},
         false,
         27,
         "offset 27"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const AdtsSplit split = SplitAdtsFrames(c.stream);
        std::vector<size_t> offsets, sizes;
        for (const AdtsFrame& f : split.frames) {
            offsets.push_back(f.offset);
            sizes.push_back(f.size);
        }
        EXPECT_EQ(offsets, c.offsets);
        EXPECT_EQ(sizes, c.sizes);
        EXPECT_EQ(split.truncated, c.truncated);
        EXPECT_EQ(split.consumed, c.consumed);
        EXPECT_EQ(split.error.empty(), *c.error == '\0') << split.error;
        EXPECT_NE(split.error.find(c.error), std::string::npos) << split.error;
    }
}

}  // namespace
}  // namespace rtmp::media
