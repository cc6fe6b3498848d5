// The H.264 and AAC encoder components: record handling, the form of their output, and what
// ffprobe/ffmpeg make of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

#include "basis/adts.h"
#include "codecs/aac_encoder.h"
#include "codecs/h264_encoder.h"
#include "support/child_process.h"
#include "support/media_tools.h"

namespace ocelix {
namespace {

using namespace basis;

using rtmp::test::DecodeErrors;
using rtmp::test::Probe;
using rtmp::test::ProbeResult;
using rtmp::test::RunProcess;
using rtmp::test::TempDir;

constexpr int kNalSlice = 1;
constexpr int kNalIdr = 5;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;
constexpr int kNalAud = 9;

// ---------------------------------------------------------------------------------------------
// Annex B reading for the checks

struct Nal {
    int type = -1;
    std::size_t startCodeSize = 0;
    std::vector<uint8_t> bytes;  // from the NAL header byte on
};

struct AccessUnit {
    std::vector<Nal> nals;
    std::size_t leadingJunk = 0;  // bytes before the first start code
};

AccessUnit SplitAnnexB(const uint8_t* data, std::size_t size) {
    AccessUnit au;
    std::vector<std::size_t> codes;  // offsets of the 00 00 01 of every start code
    for (std::size_t i = 0; i + 3 <= size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            codes.push_back(i);
            i += 2;
        }
    }
    if (codes.empty()) {
        au.leadingJunk = size;
        return au;
    }
    const bool firstLong = codes[0] >= 1 && data[codes[0] - 1] == 0;
    au.leadingJunk = codes[0] - (firstLong ? 1 : 0);
    for (std::size_t k = 0; k < codes.size(); ++k) {
        Nal nal;
        const std::size_t begin = codes[k] + 3;
        std::size_t end = size;
        if (k + 1 < codes.size()) {
            end = codes[k + 1];
            if (end > begin && data[end - 1] == 0) {
                --end;  // the fourth byte of the next unit's start code
            }
        }
        nal.startCodeSize = (codes[k] >= 1 && data[codes[k] - 1] == 0) ? 4 : 3;
        nal.bytes.assign(data + begin, data + end);
        nal.type = nal.bytes.empty() ? -1 : (nal.bytes[0] & 0x1F);
        au.nals.push_back(std::move(nal));
    }
    return au;
}

// Everything the RTMP packaging relies on, for one access unit.
void ExpectPackagingForm(const AccessUnit& au, int frame) {
    SCOPED_TRACE("frame " + std::to_string(frame));
    EXPECT_EQ(au.leadingJunk, 0u);
    ASSERT_FALSE(au.nals.empty());
    int slices = 0;
    int sliceType = -1;
    bool spsSeen = false;
    bool ppsSeen = false;
    for (const Nal& nal : au.nals) {
        EXPECT_EQ(nal.startCodeSize, 4u) << "NAL type " << nal.type;
        EXPECT_NE(nal.type, kNalAud);
        if (nal.type == kNalSlice || nal.type == kNalIdr) {
            ++slices;
            sliceType = nal.type;
            EXPECT_EQ(&nal, &au.nals.back()) << "the slice must be the last unit";
        }
        if (nal.type == kNalSps) {
            spsSeen = true;
            ASSERT_GE(nal.bytes.size(), 4u);
            EXPECT_EQ(nal.bytes[1], 100) << "profile_idc (High)";
            EXPECT_LE(nal.bytes[3], 40) << "level_idc";
            EXPECT_GT(nal.bytes[3], 0) << "level_idc";
        }
        if (nal.type == kNalPps) {
            EXPECT_TRUE(spsSeen) << "PPS before SPS";
            ppsSeen = true;
        }
    }
    EXPECT_EQ(slices, 1);
    if (sliceType == kNalIdr) {
        EXPECT_TRUE(spsSeen && ppsSeen) << "IDR without SPS and PPS in front";
    } else {
        EXPECT_FALSE(spsSeen || ppsSeen) << "SPS/PPS on an inter frame";
    }
}

bool IsIdr(const AccessUnit& au) {
    return std::any_of(au.nals.begin(), au.nals.end(),
                       [](const Nal& n) { return n.type == kNalIdr; });
}

// ---------------------------------------------------------------------------------------------
// Synthetic pictures: packed BGR, bottom row first

void SetPixel(uint8_t* frame, int width, int height, int x, int displayY, uint8_t b, uint8_t g,
              uint8_t r) {
    const int memoryRow = height - 1 - displayY;
    uint8_t* p = frame + (static_cast<std::size_t>(memoryRow) * width + x) * 3;
    p[0] = b;
    p[1] = g;
    p[2] = r;
}

// A diagonal gradient that drifts and a bright square that moves across it.
void DrawMovingPicture(uint8_t* frame, int width, int height, int index) {
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const auto v = static_cast<uint8_t>((x + y + 3 * index) & 0xFF);
            SetPixel(frame, width, height, x, y, v, static_cast<uint8_t>(255 - v),
                     static_cast<uint8_t>((x * 2 + index) & 0xFF));
        }
    }
    const int side = std::max(8, std::min(width, height) / 6);
    const int left = (index * 5) % std::max(1, width - side);
    const int top = (index * 3) % std::max(1, height - side);
    for (int y = top; y < top + side; ++y) {
        for (int x = left; x < left + side; ++x) {
            SetPixel(frame, width, height, x, y, 250, 250, 250);
        }
    }
}

H264EncoderParam VideoParam(int width, int height, int fps, int interval) {
    H264EncoderParam p{};
    p.width = width;
    p.height = height;
    p.inputFormat = kInputFormatBgr24BottomUp;
    p.frameRate = fps;
    p.interval = interval;
    p.rateControl = kRateControlConstantQuality;
    p.quality = 23;
    return p;
}

// Encodes `frames` moving pictures; every call's output as one byte string.
std::vector<std::vector<uint8_t>> EncodeMoving(H264EncoderParam& p, int frames,
                                               int requestKeyAt = -1) {
    std::vector<std::vector<uint8_t>> units;
    for (int i = 0; i < frames; ++i) {
        DrawMovingPicture(p.inputFrame, p.width, p.height, i);
        if (i == requestKeyAt) {
            H264EncoderRequestKeyFrame(&p);
        }
        EXPECT_EQ(H264EncoderEncode(&p), 1);
        EXPECT_GT(p.outputLength, 0) << "frame " << i;
        if (p.outputLength > 0) {
            units.emplace_back(p.output, p.output + p.outputLength);
        } else {
            units.emplace_back();
        }
    }
    return units;
}

void WriteFile(const std::filesystem::path& path, const std::vector<std::vector<uint8_t>>& units) {
    std::ofstream out(path, std::ios::binary);
    for (const auto& u : units) {
        out.write(reinterpret_cast<const char*>(u.data()), static_cast<std::streamsize>(u.size()));
    }
}

std::vector<int> IdrFrames(const std::vector<std::vector<uint8_t>>& units) {
    std::vector<int> idr;
    for (std::size_t i = 0; i < units.size(); ++i) {
        if (IsIdr(SplitAnnexB(units[i].data(), units[i].size()))) {
            idr.push_back(static_cast<int>(i));
        }
    }
    return idr;
}

// ---------------------------------------------------------------------------------------------
// H.264 component

TEST(H264EncoderTest, OpenRejectsInvalidParametersCleanly) {
    const H264EncoderParam good = VideoParam(64, 48, 25, 0);
    std::vector<H264EncoderParam> bad(7, good);
    bad[0].width = 0;
    bad[1].height = -2;
    bad[2].inputFormat = 3;
    bad[3].frameRate = 0;
    bad[4].width = 1;  // rounds down to an empty picture
    bad[5].height = 1;
    bad[6].width = 100000;
    for (std::size_t i = 0; i < bad.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        H264EncoderParam& p = bad[i];
        EXPECT_EQ(H264EncoderOpen(&p), 0);
        EXPECT_EQ(p.inputFrame, nullptr);
        EXPECT_EQ(p.output, nullptr);
        EXPECT_EQ(p.reserved, nullptr);
        EXPECT_EQ(p.inputFrameSize, 0);
        EXPECT_EQ(H264EncoderEncode(&p), 0);
        EXPECT_EQ(p.outputLength, 0);
        EXPECT_EQ(H264EncoderClose(&p), 1);
    }
    EXPECT_EQ(H264EncoderOpen(nullptr), 0);
}

TEST(H264EncoderTest, CallsOnANeverOpenedRecordDoNothing) {
    H264EncoderParam p = VideoParam(64, 48, 25, 0);
    EXPECT_EQ(H264EncoderEncode(&p), 0);
    H264EncoderRequestKeyFrame(&p);
    EXPECT_EQ(H264EncoderClose(&p), 1);
    EXPECT_EQ(p.output, nullptr);
    EXPECT_EQ(p.outputLength, 0);
    EXPECT_EQ(H264EncoderEncode(nullptr), 0);
    EXPECT_EQ(H264EncoderClose(nullptr), 1);
    H264EncoderRequestKeyFrame(nullptr);
}

TEST(H264EncoderTest, OpenProvidesAZeroedFrameBufferOfTheInputSize) {
    H264EncoderParam p = VideoParam(321, 241, 25, 0);
    ASSERT_EQ(H264EncoderOpen(&p), 1);
    EXPECT_EQ(p.inputFrameSize, 321 * 241 * 3);
    ASSERT_NE(p.inputFrame, nullptr);
    EXPECT_TRUE(std::all_of(p.inputFrame, p.inputFrame + p.inputFrameSize,
                            [](uint8_t b) { return b == 0; }));
    EXPECT_NE(p.reserved, nullptr);
    EXPECT_EQ(p.outputLength, 0);
    EXPECT_EQ(H264EncoderClose(&p), 1);
    EXPECT_EQ(p.inputFrame, nullptr);
    EXPECT_EQ(p.reserved, nullptr);
    EXPECT_EQ(p.inputFrameSize, 0);
    EXPECT_EQ(H264EncoderEncode(&p), 0) << "encode after close";
}

struct StreamCase {
    int width;
    int height;
    int decodedWidth;
    int decodedHeight;
};

class H264StreamTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(H264StreamTest, EveryAccessUnitHasThePackagingFormAndFfmpegDecodesTheStream) {
    const StreamCase c = GetParam();
    constexpr int kFrames = 60;
    constexpr int kInterval = 10;
    H264EncoderParam p = VideoParam(c.width, c.height, 25, kInterval);
    ASSERT_EQ(H264EncoderOpen(&p), 1);
    const auto units = EncodeMoving(p, kFrames);
    EXPECT_EQ(H264EncoderClose(&p), 1);

    for (std::size_t i = 0; i < units.size(); ++i) {
        ExpectPackagingForm(SplitAnnexB(units[i].data(), units[i].size()), static_cast<int>(i));
    }
    EXPECT_EQ(IdrFrames(units), (std::vector<int>{0, 10, 20, 30, 40, 50}));

    TempDir dir("ocelix_h264");
    const auto file = dir / "moving.h264";
    WriteFile(file, units);
    const ProbeResult probe = Probe(file);
    ASSERT_TRUE(probe.ok) << probe.error;
    ASSERT_NE(probe.Video(), nullptr);
    EXPECT_EQ(probe.Video()->codecName, "h264");
    EXPECT_EQ(probe.Video()->profile, "High");
    EXPECT_EQ(probe.Video()->width, c.decodedWidth);
    EXPECT_EQ(probe.Video()->height, c.decodedHeight);
    EXPECT_EQ(probe.Video()->frames, kFrames);
    EXPECT_EQ(DecodeErrors(file), "");
}

INSTANTIATE_TEST_SUITE_P(Sizes, H264StreamTest,
                         ::testing::Values(StreamCase{320, 240, 320, 240},
                                           StreamCase{321, 243, 320, 242}),
                         [](const ::testing::TestParamInfo<StreamCase>& param_info) {
                             return std::to_string(param_info.param.width) + "x" +
                                    std::to_string(param_info.param.height);
                         });

// slice_type of a slice NAL unit: the second Exp-Golomb number after the header byte (the first
// is first_mb_in_slice). -1 when the bytes run out.
int SliceType(const Nal& nal) {
    std::size_t bit = 8;
    auto readBit = [&]() -> int {
        if (bit / 8 >= nal.bytes.size()) {
            return -1;
        }
        const int b = (nal.bytes[bit / 8] >> (7 - bit % 8)) & 1;
        ++bit;
        return b;
    };
    auto readUe = [&]() -> int {
        int zeros = 0;
        for (int b = readBit(); b == 0; b = readBit()) {
            if (++zeros > 31) {
                return -1;
            }
        }
        int value = 0;
        for (int i = 0; i < zeros; ++i) {
            const int b = readBit();
            if (b < 0) {
                return -1;
            }
            value = (value << 1) | b;
        }
        return (1 << zeros) - 1 + value;
    };
    return readUe() < 0 ? -1 : readUe();
}

// Full HD is the size that gets frame threads: still High profile at level 4.0, one slice per
// picture, no B-slices, and at most one picture in the encoder before the first comes out.
TEST(H264EncoderTest, FullHdKeepsItsFormWithinOneFrameOfLatency) {
    constexpr int kFrames = 8;
    H264EncoderParam p = VideoParam(1920, 1080, 25, 0);
    ASSERT_EQ(H264EncoderOpen(&p), 1);
    std::vector<std::vector<uint8_t>> units;
    int leadingEmpty = 0;
    for (int i = 0; i < kFrames; ++i) {
        DrawMovingPicture(p.inputFrame, p.width, p.height, i);
        ASSERT_EQ(H264EncoderEncode(&p), 1);
        if (p.outputLength == 0 && units.empty()) {
            ++leadingEmpty;
            continue;
        }
        EXPECT_GT(p.outputLength, 0) << "frame " << i;
        units.emplace_back(p.output, p.output + p.outputLength);
    }
    H264EncoderClose(&p);
    EXPECT_LE(leadingEmpty, 1) << "pictures in before the first out";
    ASSERT_GE(units.size(), static_cast<std::size_t>(kFrames - 1));
    const AccessUnit first = SplitAnnexB(units[0].data(), units[0].size());
    ASSERT_FALSE(first.nals.empty());
    ASSERT_EQ(first.nals[0].type, kNalSps);
    ASSERT_GE(first.nals[0].bytes.size(), 4u);
    EXPECT_EQ(first.nals[0].bytes[1], 100);
    EXPECT_EQ(first.nals[0].bytes[3], 40);
    for (std::size_t i = 0; i < units.size(); ++i) {
        const AccessUnit au = SplitAnnexB(units[i].data(), units[i].size());
        ExpectPackagingForm(au, static_cast<int>(i));
        ASSERT_FALSE(au.nals.empty());
        const int type = SliceType(au.nals.back()) % 5;  // 0 P, 1 B, 2 I
        EXPECT_EQ(type, i == 0 ? 2 : 0) << "frame " << i;
    }
}

TEST(H264EncoderTest, IntervalZeroMeansTwoSecondsOfFrames) {
    H264EncoderParam p = VideoParam(160, 120, 15, 0);
    ASSERT_EQ(H264EncoderOpen(&p), 1);
    const auto units = EncodeMoving(p, 70);
    H264EncoderClose(&p);
    EXPECT_EQ(IdrFrames(units), (std::vector<int>{0, 30, 60}));
}

TEST(H264EncoderTest, RequestedKeyFrameIsTheNextFrameAndRestartsTheInterval) {
    H264EncoderParam p = VideoParam(320, 240, 25, 30);
    ASSERT_EQ(H264EncoderOpen(&p), 1);
    const auto units = EncodeMoving(p, 60, 7);
    H264EncoderClose(&p);
    EXPECT_EQ(IdrFrames(units), (std::vector<int>{0, 7, 37}));
    for (std::size_t i = 0; i < units.size(); ++i) {
        ExpectPackagingForm(SplitAnnexB(units[i].data(), units[i].size()), static_cast<int>(i));
    }
}

TEST(H264EncoderTest, ReopeningTheRecordStartsAFreshStream) {
    H264EncoderParam p = VideoParam(160, 120, 25, 100);
    ASSERT_EQ(H264EncoderOpen(&p), 1);
    EncodeMoving(p, 5);
    p.width = 192;
    ASSERT_EQ(H264EncoderOpen(&p), 1);
    EXPECT_EQ(p.inputFrameSize, 192 * 120 * 3);
    const auto units = EncodeMoving(p, 2);
    H264EncoderClose(&p);
    EXPECT_EQ(IdrFrames(units), (std::vector<int>{0}));
}

std::size_t TotalBytes(const std::vector<std::vector<uint8_t>>& units) {
    std::size_t total = 0;
    for (const auto& u : units) {
        total += u.size();
    }
    return total;
}

TEST(H264EncoderTest, AverageBitrateModeHoldsTheTargetAndQualitySetsTheCrf) {
    constexpr int kFrames = 75;  // three seconds at 25 fps
    H264EncoderParam abr = VideoParam(320, 240, 25, 25);
    abr.rateControl = kRateControlAverageBitrate;
    abr.bitrate = 200;
    ASSERT_EQ(H264EncoderOpen(&abr), 1);
    const std::size_t abrBytes = TotalBytes(EncodeMoving(abr, kFrames));
    H264EncoderClose(&abr);
    const double kbits = static_cast<double>(abrBytes) * 8 / 1000;
    EXPECT_LT(kbits, 200 * 3 * 1.3) << "ABR overshoots";
    EXPECT_GT(kbits, 200 * 3 * 0.5) << "ABR undershoots";

    // The target follows a new bit rate on the open encoder: a quarter gives much less.
    H264EncoderParam follow = VideoParam(320, 240, 25, 25);
    follow.rateControl = kRateControlAverageBitrate;
    follow.bitrate = 200;
    ASSERT_EQ(H264EncoderOpen(&follow), 1);
    const std::size_t before = TotalBytes(EncodeMoving(follow, kFrames));
    EXPECT_EQ(H264EncoderSetBitrate(&follow, 50), 1);
    EXPECT_EQ(follow.bitrate, 50);
    EncodeMoving(follow, 25);  // one second to settle
    const std::size_t after = TotalBytes(EncodeMoving(follow, kFrames));
    H264EncoderClose(&follow);
    EXPECT_LT(static_cast<double>(after) * 8 / 1000, 50 * 3 * 1.5);
    EXPECT_LT(2 * after, before);
    EXPECT_EQ(H264EncoderSetBitrate(&follow, 50), 0);  // closed

    H264EncoderParam fine = VideoParam(320, 240, 25, 25);
    fine.quality = 12;
    H264EncoderParam coarse = VideoParam(320, 240, 25, 25);
    coarse.quality = 40;
    ASSERT_EQ(H264EncoderOpen(&fine), 1);
    ASSERT_EQ(H264EncoderOpen(&coarse), 1);
    const std::size_t fineBytes = TotalBytes(EncodeMoving(fine, 25));
    const std::size_t coarseBytes = TotalBytes(EncodeMoving(coarse, 25));
    EXPECT_EQ(H264EncoderSetBitrate(&fine, 100), 0);  // a quality, not a bit rate
    H264EncoderClose(&fine);
    H264EncoderClose(&coarse);
    EXPECT_GT(fineBytes, 4 * coarseBytes);
}

// Decodes a one-picture stream to raw pixels with ffmpeg.
std::string DecodeToRaw(const std::vector<std::vector<uint8_t>>& units, const char* pixelFormat) {
    TempDir dir("ocelix_h264_raw");
    const auto file = dir / "picture.h264";
    WriteFile(file, units);
    const auto r = RunProcess({"ffmpeg", "-nostdin", "-v", "error", "-i", file.string(), "-f",
                               "rawvideo", "-pix_fmt", pixelFormat, "-"});
    EXPECT_TRUE(r.Succeeded()) << r.err;
    return r.out;
}

TEST(H264EncoderTest, ACallersFrameIsConvertedOnceAndARepeatIsNotConvertedAgain) {
    H264EncoderParam p = VideoParam(320, 240, 25, 100);
    ASSERT_EQ(H264EncoderOpen(&p), 1);
    std::vector<uint8_t> frame(static_cast<std::size_t>(p.inputFrameSize));
    std::vector<std::vector<uint8_t>> units;
    for (int i = 1; i <= 5; ++i) {
        DrawMovingPicture(frame.data(), p.width, p.height, i * 7);
        ASSERT_EQ(H264EncoderEncodeFrame(&p, frame.data()), 1);
        units.emplace_back(p.output, p.output + p.outputLength);
    }
    // The component's own buffer holds another picture now; a repeat does not look at it.
    DrawMovingPicture(p.inputFrame, p.width, p.height, 99);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(H264EncoderEncodeFrame(&p, nullptr), 1);
        units.emplace_back(p.output, p.output + p.outputLength);
    }
    H264EncoderClose(&p);
    const std::string gray = DecodeToRaw(units, "gray");
    const std::size_t size = 320 * 240;
    ASSERT_EQ(gray.size(), 8 * size);
    const auto differs = [&](std::size_t a, std::size_t b) {
        long sum = 0;
        for (std::size_t i = 0; i < size; ++i)
            sum += std::abs(static_cast<int>(static_cast<uint8_t>(gray[a * size + i])) -
                            static_cast<int>(static_cast<uint8_t>(gray[b * size + i])));
        return static_cast<double>(sum) / static_cast<double>(size);
    };
    EXPECT_GT(differs(3, 4), 4.0);  // the pictures move
    for (std::size_t r = 5; r < 8; ++r)
        EXPECT_LT(differs(4, r), 2.0) << r;  // the repeats show the last picture
}

std::vector<std::vector<uint8_t>> EncodeStill(int width, int height,
                                              void (*draw)(uint8_t*, int, int)) {
    H264EncoderParam p = VideoParam(width, height, 25, 0);
    p.quality = 18;
    std::vector<std::vector<uint8_t>> units;
    if (H264EncoderOpen(&p) != 1) {
        ADD_FAILURE() << "open failed";
        return units;
    }
    draw(p.inputFrame, width, height);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(H264EncoderEncode(&p), 1);
        units.emplace_back(p.output, p.output + p.outputLength);
    }
    H264EncoderClose(&p);
    return units;
}

double MeanOfRows(const std::string& plane, int width, int firstRow, int endRow, int stride,
                  int offset) {
    double sum = 0;
    int count = 0;
    for (int y = firstRow; y < endRow; ++y) {
        for (int x = 0; x < width; ++x) {
            sum += static_cast<uint8_t>(plane[static_cast<std::size_t>(y) * stride + x * offset]);
            ++count;
        }
    }
    return count == 0 ? 0 : sum / count;
}

TEST(H264EncoderTest, BottomUpInputIsShownTheRightWayUp) {
    constexpr int kW = 320;
    constexpr int kH = 240;
    // Top half white as displayed, bottom half black.
    const auto units = EncodeStill(kW, kH, [](uint8_t* frame, int w, int h) {
        for (int y = 0; y < h / 2; ++y) {
            for (int x = 0; x < w; ++x) {
                SetPixel(frame, w, h, x, y, 255, 255, 255);
            }
        }
    });
    const std::string gray = DecodeToRaw(units, "gray");
    ASSERT_EQ(gray.size(), static_cast<std::size_t>(kW) * kH * 3);
    // Rows near the edge between the halves are left out: chroma and deblocking blur them.
    EXPECT_GT(MeanOfRows(gray, kW, 0, kH / 2 - 8, kW, 1), 220);
    EXPECT_LT(MeanOfRows(gray, kW, kH / 2 + 8, kH, kW, 1), 30);
}

TEST(H264EncoderTest, BlueGreenRedByteOrderIsKept) {
    constexpr int kW = 160;
    constexpr int kH = 120;
    // Displayed top half pure blue, bottom half pure red.
    const auto units = EncodeStill(kW, kH, [](uint8_t* frame, int w, int h) {
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                if (y < h / 2) {
                    SetPixel(frame, w, h, x, y, 255, 0, 0);
                } else {
                    SetPixel(frame, w, h, x, y, 0, 0, 255);
                }
            }
        }
    });
    const std::string rgb = DecodeToRaw(units, "rgb24");
    ASSERT_EQ(rgb.size(), static_cast<std::size_t>(kW) * kH * 3 * 3);
    const std::string first(rgb.data(), static_cast<std::size_t>(kW) * kH * 3);
    const std::string red(first.data() + 0, first.size() - 0);
    const std::string blue(first.data() + 2, first.size() - 2);
    // Top rows: blue high, red low. Bottom rows: red high, blue low.
    EXPECT_GT(MeanOfRows(blue, kW, 0, kH / 2 - 8, kW * 3, 3), 200);
    EXPECT_LT(MeanOfRows(red, kW, 0, kH / 2 - 8, kW * 3, 3), 50);
    EXPECT_GT(MeanOfRows(red, kW, kH / 2 + 8, kH, kW * 3, 3), 200);
    EXPECT_LT(MeanOfRows(blue, kW, kH / 2 + 8, kH - 1, kW * 3, 3), 50);
}

// ---------------------------------------------------------------------------------------------
// ADTS header

TEST(AdtsTest, HeaderFieldsForStereo44100) {
    uint8_t h[7] = {};
    ASSERT_TRUE(WriteAdtsHeader(h, 300, kAacObjectTypeLc, 4, 2));
    // length 307 = 0b001'0011'0011; buffer fullness 0x7FF; one raw data block
    const uint8_t expected[7] = {0xFF, 0xF1, 0x50, 0x80, 0x26, 0x7F, 0xFC};
    EXPECT_EQ(std::memcmp(h, expected, 7), 0);
}

TEST(AdtsTest, HeaderFieldsForMono8000AndLongFrames) {
    uint8_t h[7] = {};
    ASSERT_TRUE(WriteAdtsHeader(h, 4000, kAacObjectTypeLc, 11, 1));
    // length 4007 = 0b1'1111'1010'0111
    const uint8_t expected[7] = {0xFF, 0xF1, 0x6C, 0x41, 0xF4, 0xFF, 0xFC};
    EXPECT_EQ(std::memcmp(h, expected, 7), 0);
}

TEST(AdtsTest, ValuesOutsideTheirFieldsAreRefused) {
    uint8_t h[7] = {1, 2, 3, 4, 5, 6, 7};
    EXPECT_FALSE(WriteAdtsHeader(h, 8192 - 7, kAacObjectTypeLc, 4, 2));
    EXPECT_FALSE(WriteAdtsHeader(h, 10, kAacObjectTypeLc, 13, 2));
    EXPECT_FALSE(WriteAdtsHeader(h, 10, kAacObjectTypeLc, 4, 0));
    EXPECT_FALSE(WriteAdtsHeader(h, 10, kAacObjectTypeLc, 4, 8));
    EXPECT_FALSE(WriteAdtsHeader(h, 10, 5, 4, 2));
    EXPECT_EQ(h[0], 1) << "nothing written";
    EXPECT_TRUE(WriteAdtsHeader(h, 8192 - 8, kAacObjectTypeLc, 4, 2));
}

TEST(AdtsTest, SamplingIndexOfTheAacRates) {
    EXPECT_EQ(AdtsSamplingIndex(96000), 0);
    EXPECT_EQ(AdtsSamplingIndex(48000), 3);
    EXPECT_EQ(AdtsSamplingIndex(44100), 4);
    EXPECT_EQ(AdtsSamplingIndex(8000), 11);
    EXPECT_EQ(AdtsSamplingIndex(7350), 12);
    EXPECT_FALSE(AdtsSamplingIndex(44000).has_value());
    EXPECT_FALSE(AdtsSamplingIndex(0).has_value());
}

// ---------------------------------------------------------------------------------------------
// AAC component

AACEncoderParam AudioParam(int rate, int bits, int channels) {
    AACEncoderParam p{};
    p.samplesPerSec = rate;
    p.bitsPerSample = bits;
    p.channels = channels;
    return p;
}

TEST(AacEncoderTest, OpenRejectsUnsupportedParametersCleanly) {
    const AACEncoderParam cases[] = {AudioParam(44000, 16, 2), AudioParam(0, 16, 2),
                                     AudioParam(44100, 8, 2),  AudioParam(44100, 24, 2),
                                     AudioParam(44100, 16, 0), AudioParam(44100, 16, 3)};
    for (AACEncoderParam p : cases) {
        SCOPED_TRACE(std::to_string(p.samplesPerSec) + "/" + std::to_string(p.bitsPerSample) + "/" +
                     std::to_string(p.channels));
        EXPECT_EQ(AACEncoderOpen(&p), 0);
        EXPECT_EQ(p.input, nullptr);
        EXPECT_EQ(p.output, nullptr);
        EXPECT_EQ(p.reserved, nullptr);
        EXPECT_EQ(p.samplesPerCall, 0);
        EXPECT_EQ(AACEncoderEncode(&p), 0);
        EXPECT_EQ(p.outputLength, 0);
        EXPECT_EQ(AACEncoderClose(&p), 1);
    }
    EXPECT_EQ(AACEncoderOpen(nullptr), 0);
    EXPECT_EQ(AACEncoderEncode(nullptr), 0);
    EXPECT_EQ(AACEncoderClose(nullptr), 1);
}

struct AdtsFrameFields {
    bool sync = false;
    int mpegVersionBit = -1;
    int protectionAbsent = -1;
    int objectType = -1;
    int samplingIndex = -1;
    int privateBit = -1;
    int channels = -1;
    int length = -1;
    int rawBlocks = -1;
};

AdtsFrameFields ReadAdts(const uint8_t* h) {
    AdtsFrameFields f;
    f.sync = h[0] == 0xFF && (h[1] & 0xF6) == 0xF0;
    f.mpegVersionBit = (h[1] >> 3) & 1;
    f.protectionAbsent = h[1] & 1;
    f.objectType = (h[2] >> 6) + 1;
    f.samplingIndex = (h[2] >> 2) & 0xF;
    f.privateBit = (h[2] >> 1) & 1;
    f.channels = ((h[2] & 1) << 2) | (h[3] >> 6);
    f.length = ((h[3] & 3) << 11) | (h[4] << 3) | (h[5] >> 5);
    f.rawBlocks = h[6] & 3;
    return f;
}

struct AudioCase {
    int rate;
    int channels;
    int samplingIndex;
};

class AacStreamTest : public ::testing::TestWithParam<AudioCase> {};

TEST_P(AacStreamTest, ToneBecomesValidAdtsThatFfmpegDecodesToTheTone) {
    const AudioCase c = GetParam();
    AACEncoderParam p = AudioParam(c.rate, 16, c.channels);
    ASSERT_EQ(AACEncoderOpen(&p), 1);
    ASSERT_EQ(p.samplesPerCall, 1024 * c.channels);
    ASSERT_NE(p.input, nullptr);
    const std::size_t blockBytes = static_cast<std::size_t>(p.samplesPerCall) * 2;
    EXPECT_TRUE(std::all_of(p.input, p.input + blockBytes, [](uint8_t b) { return b == 0; }));

    // Two seconds of a 1 kHz sine at half scale, 16-bit little-endian, interleaved.
    constexpr double kToneHz = 1000;
    const int calls = (2 * c.rate + 1023) / 1024;
    long sample = 0;
    int silentCalls = 0;
    std::vector<std::vector<uint8_t>> frames;
    for (int call = 0; call < calls; ++call) {
        for (int i = 0; i < 1024; ++i, ++sample) {
            const double t = static_cast<double>(sample) / c.rate;
            const auto v = static_cast<int16_t>(
                std::lround(16000 * std::sin(2 * std::numbers::pi * kToneHz * t)));
            for (int ch = 0; ch < c.channels; ++ch) {
                uint8_t* at = p.input + (static_cast<std::size_t>(i) * c.channels + ch) * 2;
                at[0] = static_cast<uint8_t>(static_cast<uint16_t>(v) & 0xFF);
                at[1] = static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8);
            }
        }
        ASSERT_EQ(AACEncoderEncode(&p), 1);
        if (p.outputLength == 0) {
            EXPECT_TRUE(frames.empty()) << "no output in the middle of the stream, call " << call;
            ++silentCalls;
            continue;
        }
        frames.emplace_back(p.output, p.output + p.outputLength);
    }
    EXPECT_EQ(AACEncoderClose(&p), 1);
    EXPECT_EQ(p.input, nullptr);
    EXPECT_EQ(p.reserved, nullptr);

    EXPECT_LE(silentCalls, 2) << "start-up delay of the encoder";
    EXPECT_EQ(static_cast<int>(frames.size()) + silentCalls, calls);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        ASSERT_GT(frames[i].size(), kAdtsHeaderSize);
        const AdtsFrameFields f = ReadAdts(frames[i].data());
        EXPECT_TRUE(f.sync);
        EXPECT_EQ(frames[i][1], 0xF1);
        EXPECT_EQ(f.mpegVersionBit, 0);
        EXPECT_EQ(f.protectionAbsent, 1);
        EXPECT_EQ(f.objectType, kAacObjectTypeLc);
        EXPECT_EQ(f.samplingIndex, c.samplingIndex);
        EXPECT_EQ(f.privateBit, 0);
        EXPECT_EQ(f.channels, c.channels);
        EXPECT_EQ(f.length, static_cast<int>(frames[i].size()));
        EXPECT_LT(f.length, 2048);
        EXPECT_EQ(f.rawBlocks, 0);
    }

    TempDir dir("ocelix_aac");
    const auto file = dir / "tone.aac";
    WriteFile(file, frames);
    const ProbeResult probe = Probe(file);
    ASSERT_TRUE(probe.ok) << probe.error;
    ASSERT_NE(probe.Audio(), nullptr);
    EXPECT_EQ(probe.Audio()->codecName, "aac");
    EXPECT_EQ(probe.Audio()->profile, "LC");
    EXPECT_EQ(probe.Audio()->sampleRate, c.rate);
    EXPECT_EQ(probe.Audio()->channels, c.channels);
    EXPECT_EQ(probe.Audio()->frames, static_cast<long>(frames.size()));
    EXPECT_EQ(DecodeErrors(file), "");

    // The decoded sound is the tone: count sign changes of the first channel over the second
    // half (past the encoder's start-up) and measure its level.
    const auto r = RunProcess({"ffmpeg", "-nostdin", "-v", "error", "-i", file.string(), "-f",
                               "s16le", "-acodec", "pcm_s16le", "-"});
    ASSERT_TRUE(r.Succeeded()) << r.err;
    const std::size_t total = r.out.size() / 2 / static_cast<std::size_t>(c.channels);
    ASSERT_GT(total, static_cast<std::size_t>(c.rate));
    auto at = [&](std::size_t i) {
        const std::size_t byte = i * c.channels * 2;
        return static_cast<int16_t>(static_cast<uint16_t>(
            static_cast<uint8_t>(r.out[byte]) | (static_cast<uint8_t>(r.out[byte + 1]) << 8)));
    };
    const std::size_t begin = total / 2;
    const std::size_t end = begin + static_cast<std::size_t>(c.rate) / 2;  // half a second
    int crossings = 0;
    double energy = 0;
    for (std::size_t i = begin + 1; i < end; ++i) {
        if ((at(i - 1) < 0) != (at(i) < 0)) {
            ++crossings;
        }
        energy += static_cast<double>(at(i)) * at(i);
    }
    const double rms = std::sqrt(energy / static_cast<double>(end - begin - 1));
    EXPECT_NEAR(crossings, 1000, 20) << "two sign changes per period, 500 periods";
    EXPECT_NEAR(rms, 16000 / std::sqrt(2.0), 1500);
}

INSTANTIATE_TEST_SUITE_P(Formats, AacStreamTest,
                         ::testing::Values(AudioCase{44100, 2, 4}, AudioCase{8000, 1, 11}),
                         [](const ::testing::TestParamInfo<AudioCase>& param_info) {
                             return std::to_string(param_info.param.rate) + "Hz" +
                                    std::to_string(param_info.param.channels) + "ch";
                         });

}  // namespace
}  // namespace ocelix
