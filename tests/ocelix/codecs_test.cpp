// The H.264 and AAC encoder components and the ADTS header: record handling, the form of their
// output, and what ffprobe/ffmpeg make of it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <numbers>
#include <numeric>

#include "basis/adts.h"
#include "codecs/aac_encoder.h"
#include "codecs/h264_encoder.h"
#include "media_files.h"
#include "support/media_tools.h"

namespace ocelix {
namespace {

using namespace basis;

using namespace rtmp::test;
using ::testing::_;
using ::testing::ElementsAre;
using Units = std::vector<std::vector<uint8_t>>;

// The form the RTMP packaging relies on, for each access unit: one access unit, every NAL unit
// behind a 4-byte start code, no delimiters, SPS (High profile, level 4.0) and PPS in front of an
// IDR slice only, one slice and it last (SEI aside); the units with an IDR slice are `keyUnits`.
void ExpectPackagingForm(const Units& units, const std::vector<int>& keyUnits) {
    std::vector<int> keys;
    for (size_t i = 0; i < units.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        const std::vector<uint8_t>& au = units[i];
        const auto split = rtmp::media::SplitAccessUnits(au);
        ASSERT_EQ(split.size(), 1u);
        EXPECT_EQ(split[0].data, au);
        std::vector<int> types(split[0].nalTypes.begin(), split[0].nalTypes.end());
        std::erase(types, 6);
        if (split[0].keyFrame) {
            keys.push_back(static_cast<int>(i));
            EXPECT_EQ(types, (std::vector<int>{7, 8, 5}));
            EXPECT_THAT(std::vector<uint8_t>(au.begin() + 4, au.begin() + 8),
                        ElementsAre(0x67, 100, _, 40));
        } else {
            EXPECT_EQ(types, std::vector<int>{1});
        }
    }
    EXPECT_EQ(keys, keyUnits);
}

H264EncoderParam VideoParam(int width, int height, int fps = 25, int interval = 0) {
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

// Encodes `frames` pictures of ffmpeg's moving test pattern with noise, in packed BGR bottom row
// first (a key frame asked for before frame `keyAt`). An encoder with frame threads may hold the
// first picture back, never more: one empty output at the start.
Units EncodeMoving(H264EncoderParam& p, int frames, int keyAt = -1) {
    const auto size = static_cast<size_t>(p.inputFrameSize);
    const auto r =
        RunTool("ffmpeg -v error -f lavfi -i testsrc=rate=25:size=" + std::to_string(p.width) +
                    "x" + std::to_string(p.height) + ",noise=alls=10:allf=t,vflip -frames:v " +
                    std::to_string(frames) + " -pix_fmt bgr24 -f rawvideo -",
                {});
    EXPECT_EQ(r.out.size(), size * static_cast<size_t>(frames)) << r.err;
    Units units;
    for (int i = 0; i < frames && r.out.size() >= size * static_cast<size_t>(i + 1); ++i) {
        std::memcpy(p.inputFrame, &r.out[size * static_cast<size_t>(i)], size);
        if (i == keyAt)
            H264EncoderRequestKeyFrame(&p);
        EXPECT_EQ(H264EncoderEncode(&p), 1);
        if (i == 0 && p.outputLength == 0)
            continue;
        EXPECT_GT(p.outputLength, 0) << "frame " << i;
        units.emplace_back(p.output, p.output + std::max(0, p.outputLength));
    }
    return units;
}

size_t TotalBytes(const Units& units) {
    return std::accumulate(units.begin(), units.end(), size_t{0},
                           [](size_t n, const auto& u) { return n + u.size(); });
}

void WriteFile(const std::filesystem::path& path, const Units& units) {
    std::ofstream out(path, std::ios::binary);
    for (const auto& u : units)
        out.write(reinterpret_cast<const char*>(u.data()), static_cast<std::streamsize>(u.size()));
}

TEST(H264EncoderTest, BadParametersAndUnopenedRecordsAreRefusedCleanly) {
    // width 1 and height 1 round down to an empty picture.
    const std::pair<int32_t H264EncoderParam::*, int32_t> changes[] = {
        {&H264EncoderParam::width, 0},       {&H264EncoderParam::height, -2},
        {&H264EncoderParam::inputFormat, 3}, {&H264EncoderParam::frameRate, 0},
        {&H264EncoderParam::width, 1},       {&H264EncoderParam::height, 1},
        {&H264EncoderParam::width, 8193}};
    for (const auto& [field, value] : changes) {
        H264EncoderParam p = VideoParam(64, 48);
        p.*field = value;
        SCOPED_TRACE(std::to_string(p.width) + "x" + std::to_string(p.height));
        EXPECT_EQ(H264EncoderOpen(&p), 0);
        EXPECT_EQ(std::tuple(p.inputFrame, p.output, p.reserved, p.inputFrameSize),
                  std::tuple(nullptr, nullptr, nullptr, 0));
        EXPECT_EQ(H264EncoderEncode(&p), 0);
        H264EncoderRequestKeyFrame(&p);
        EXPECT_EQ(p.outputLength, 0);
        EXPECT_EQ(H264EncoderClose(&p), 1);
    }
    EXPECT_EQ(
        std::tuple(H264EncoderOpen(nullptr), H264EncoderEncode(nullptr), H264EncoderClose(nullptr)),
        std::tuple(0, 0, 1));
    H264EncoderRequestKeyFrame(nullptr);

    H264EncoderParam p = VideoParam(321, 241);
    ASSERT_EQ(H264EncoderOpen(&p), 1);
    ASSERT_EQ(p.inputFrameSize, 321 * 241 * 3);
    EXPECT_TRUE(std::all_of(p.inputFrame, p.inputFrame + p.inputFrameSize,
                            [](uint8_t b) { return b == 0; }));
    // Opening the open record again starts a fresh stream of the new size, the widest there is.
    EncodeMoving(p, 5);
    p.width = 8192;
    ASSERT_EQ(H264EncoderOpen(&p), 1);
    EXPECT_EQ(p.inputFrameSize, 8192 * 241 * 3);
    ExpectPackagingForm(EncodeMoving(p, 2), {0});
    EXPECT_EQ(H264EncoderClose(&p), 1);
    EXPECT_TRUE(p.inputFrame == nullptr && p.reserved == nullptr && p.inputFrameSize == 0);
    EXPECT_EQ(H264EncoderEncode(&p), 0) << "encode after close";
    EXPECT_EQ(H264EncoderSetBitrate(&p, 50), 0);
}

struct StreamCase {
    int width, height, fps, interval, frames, keyAt, decodedWidth, decodedHeight;
    std::vector<int> idr;
    int heldBack;  // pictures in before the first comes out
};

TEST(H264EncoderTest, AccessUnitsAndKeyFramesAreWhatFfmpegDecodes) {
    const StreamCase cases[] = {
        {320, 240, 25, 10, 60, -1, 320, 240, {0, 10, 20, 30, 40, 50}, 0},
        // An odd size is cropped to an even one; interval 0 is a key frame every two seconds.
        {321, 243, 15, 0, 70, -1, 320, 242, {0, 30, 60}, 0},
        // The requested key frame is the next one, and the interval counts from it.
        {160, 120, 25, 30, 60, 7, 160, 120, {0, 7, 37}, 0},
        // 720p is encoded by one thread, without delay; a larger picture gets frame threads: the
        // same form, one picture in the encoder before the first comes out, never more.
        {1280, 720, 25, 0, 3, -1, 1280, 720, {0}, 0},
        {1920, 1080, 25, 0, 8, -1, 1920, 1080, {0}, 1},
    };
    for (const StreamCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        H264EncoderParam p = VideoParam(c.width, c.height, c.fps, c.interval);
        ASSERT_EQ(H264EncoderOpen(&p), 1);
        const Units units = EncodeMoving(p, c.frames, c.keyAt);
        EXPECT_EQ(H264EncoderClose(&p), 1);
        EXPECT_EQ(units.size(), static_cast<size_t>(c.frames - c.heldBack));
        ExpectPackagingForm(units, c.idr);

        TempDir dir("ocelix_h264");
        WriteFile(dir / "moving.h264", units);
        const auto probe = Probe(dir / "moving.h264");
        ASSERT_TRUE(probe.ok && probe.Video() != nullptr) << probe.error;
        const ProbedStream& v = *probe.Video();
        EXPECT_EQ(std::tie(v.codecName, v.profile, v.width, v.height, v.frames),
                  std::tuple("h264", "High", c.decodedWidth, c.decodedHeight, long(units.size())));
        EXPECT_EQ(DecodeErrors(dir / "moving.h264"), "");
        // Every picture decodes as I at the key frames and P elsewhere: no B-pictures, and no
        // I-pictures the encoder chose on its own.
        const auto types = RunTool("ffprobe -v error -show_entries frame=pict_type -of csv=p=0 {}",
                                   {dir / "moving.h264"});
        std::string pictures = types.out, expected(units.size(), 'P');
        std::erase_if(pictures, [](char t) { return t != 'I' && t != 'P' && t != 'B'; });
        for (const int i : c.idr)
            expected.at(static_cast<size_t>(i)) = 'I';
        EXPECT_EQ(pictures, expected) << types.err;
    }
}

TEST(H264EncoderTest, AverageBitrateHoldsAndFollowsTheTargetAndQualitySetsTheCrf) {
    H264EncoderParam abr = VideoParam(320, 240, 25, 25);
    abr.rateControl = kRateControlAverageBitrate;
    abr.bitrate = 200;
    ASSERT_EQ(H264EncoderOpen(&abr), 1);
    const size_t before = TotalBytes(EncodeMoving(abr, 75));  // three seconds
    const double kbits = static_cast<double>(before) * 8 / 1000;
    EXPECT_LT(kbits, 200 * 3 * 1.3) << "ABR overshoots";
    EXPECT_GT(kbits, 200 * 3 * 0.5) << "ABR undershoots";
    // A quarter of the rate on the open encoder gives much less.
    EXPECT_EQ(H264EncoderSetBitrate(&abr, 50), 1);
    EXPECT_EQ(abr.bitrate, 50);
    EncodeMoving(abr, 25);  // one second to settle
    const size_t after = TotalBytes(EncodeMoving(abr, 75));
    H264EncoderClose(&abr);
    EXPECT_LT(static_cast<double>(after) * 8 / 1000, 50 * 3 * 1.5);
    EXPECT_LT(2 * after, before);

    // Quality is the CRF; a quality out of range gives the default, 23.
    const auto qualityBytes = [](int quality) {
        H264EncoderParam p = VideoParam(320, 240, 25, 25);
        p.quality = quality;
        EXPECT_EQ(H264EncoderOpen(&p), 1);
        const size_t bytes = TotalBytes(EncodeMoving(p, 25));
        EXPECT_EQ(H264EncoderSetBitrate(&p, 100), 0);  // a quality, not a bit rate
        H264EncoderClose(&p);
        return bytes;
    };
    const size_t fineBytes = qualityBytes(12), coarseBytes = qualityBytes(40);
    EXPECT_EQ(qualityBytes(0), qualityBytes(23));
    EXPECT_GT(fineBytes, 4 * coarseBytes);
}

// A caller's frame is converted at each call; a null frame repeats the last picture without
// converting the record's own buffer. The first frame is drawn blue over red, the second red over
// blue, both bottom row first: a picture upside down or with red and blue swapped comes out with
// the other colour on top.
TEST(H264EncoderTest, CallersFramesAreShownAsDrawnAndARepeatShowsTheLastOne) {
    constexpr int kW = 160, kH = 120;
    H264EncoderParam p = VideoParam(kW, kH);
    p.quality = 18;
    ASSERT_EQ(H264EncoderOpen(&p), 1);
    // Bottom row first: the half shown at the bottom comes first.
    const auto halves = [&](bool blueOnTop) {
        std::vector<uint8_t> frame;
        for (const uint8_t blue : {blueOnTop ? 0 : 255, blueOnTop ? 255 : 0})
            for (int px = 0; px < kW * kH / 2; ++px)
                frame.insert(frame.end(), {blue, 0, static_cast<uint8_t>(255 - blue)});
        return frame;
    };
    const std::vector<uint8_t> blueOnTop = halves(true), redOnTop = halves(false);
    Units units;
    const uint8_t* const frames[] = {blueOnTop.data(), redOnTop.data(), nullptr, nullptr};
    for (const uint8_t* frame : frames) {
        std::copy(blueOnTop.begin(), blueOnTop.end(), p.inputFrame);
        ASSERT_EQ(H264EncoderEncodeFrame(&p, frame), 1);
        units.emplace_back(p.output, p.output + p.outputLength);
    }
    H264EncoderClose(&p);
    TempDir dir("ocelix_h264_raw");
    WriteFile(dir / "picture.h264", units);
    // Each picture scaled to its two halves' mean colours, top and bottom, red green blue, each
    // strong (X, above 200), weak (., below 50) or neither (?).
    const auto decoded = RunTool(
        "ffmpeg -nostdin -v error -i {} -vf scale=1:2:flags=area -f rawvideo -pix_fmt rgb24 -",
        {dir / "picture.h264"});
    std::string levels;
    for (const char c : decoded.out)
        levels += static_cast<uint8_t>(c) > 200 ? 'X' : static_cast<uint8_t>(c) < 50 ? '.' : '?';
    // The first picture blue over red, the others red over blue.
    EXPECT_EQ(levels, "..XX..X....XX....XX....X") << decoded.err;
}

TEST(AdtsTest, HeaderBytesSamplingIndexAndRefusedValues) {
    struct Case {
        size_t payload;
        int objectType, index, channels;
        std::array<uint8_t, 7> bytes;  // all zero: refused
    };
    const Case cases[] = {
        {300, kAacObjectTypeLc, 4, 2, {0xFF, 0xF1, 0x50, 0x80, 0x26, 0x7F, 0xFC}},    // length 307
        {4000, kAacObjectTypeLc, 11, 1, {0xFF, 0xF1, 0x6C, 0x41, 0xF4, 0xFF, 0xFC}},  // 4007
        {8192 - 8, kAacObjectTypeLc, 4, 2, {0xFF, 0xF1, 0x50, 0x83, 0xFF, 0xFF, 0xFC}},
        {8192 - 7, kAacObjectTypeLc, 4, 2, {}},
        {10, kAacObjectTypeLc, 13, 2, {}},
        {10, kAacObjectTypeLc, 4, 0, {}},
        {10, kAacObjectTypeLc, 4, 8, {}},
        {10, 5, 4, 2, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        const std::array<uint8_t, 7> untouched{1, 2, 3, 4, 5, 6, 7};
        std::array<uint8_t, 7> h = untouched;
        const bool ok = WriteAdtsHeader(h.data(), c.payload, c.objectType, c.index, c.channels);
        EXPECT_EQ(ok, c.bytes[0] != 0);
        EXPECT_EQ(h, ok ? c.bytes : untouched);
    }
    const std::pair<int, int> rates[] = {{96000, 0}, {48000, 3},  {44100, 4}, {8000, 11},
                                         {7350, 12}, {44000, -1}, {0, -1}};
    for (const auto& [rate, index] : rates)
        EXPECT_EQ(AdtsSamplingIndex(rate).value_or(-1), index) << rate;
}

AACEncoderParam AudioParam(int rate, int bits, int channels) {
    AACEncoderParam p{};
    p.samplesPerSec = rate;
    p.bitsPerSample = bits;
    p.channels = channels;
    return p;
}

TEST(AacEncoderTest, UnsupportedParametersAreRefusedCleanlyAndAToneBecomesAdtsOfTheTone) {
    for (AACEncoderParam p :
         {AudioParam(44000, 16, 2), AudioParam(0, 16, 2), AudioParam(44100, 8, 2),
          AudioParam(44100, 24, 2), AudioParam(44100, 16, 0), AudioParam(44100, 16, 3)}) {
        SCOPED_TRACE(std::to_string(p.samplesPerSec) + "/" + std::to_string(p.bitsPerSample) + "/" +
                     std::to_string(p.channels));
        EXPECT_EQ(AACEncoderOpen(&p), 0);
        EXPECT_EQ(std::tuple(p.input, p.output, p.reserved, p.samplesPerCall),
                  std::tuple(nullptr, nullptr, nullptr, 0));
        EXPECT_EQ(AACEncoderEncode(&p), 0);
        EXPECT_EQ(p.outputLength, 0);
        EXPECT_EQ(AACEncoderClose(&p), 1);
    }
    EXPECT_EQ(
        std::tuple(AACEncoderOpen(nullptr), AACEncoderEncode(nullptr), AACEncoderClose(nullptr)),
        std::tuple(0, 0, 1));
    for (const auto& [rate, channels] : {std::pair{44100, 2}, std::pair{8000, 1}}) {
        SCOPED_TRACE(rate);
        AACEncoderParam p = AudioParam(rate, 16, channels);
        ASSERT_EQ(AACEncoderOpen(&p), 1);
        ASSERT_EQ(p.samplesPerCall, 1024 * channels);
        EXPECT_TRUE(
            std::all_of(p.input, p.input + p.samplesPerCall * 2, [](uint8_t b) { return !b; }));
        // Two seconds of a 1 kHz sine at half scale, 16-bit little-endian, interleaved.
        const int calls = (2 * rate + 1023) / 1024;
        Units frames;
        for (int call = 0; call < calls; ++call) {
            for (int i = 0; i < p.samplesPerCall; ++i) {
                const double t = (call * 1024 + i / channels) / static_cast<double>(rate);
                const auto v = static_cast<uint16_t>(
                    std::lround(16000 * std::sin(2 * std::numbers::pi * 1000 * t)));
                p.input[2 * i] = static_cast<uint8_t>(v & 0xFF);
                p.input[2 * i + 1] = static_cast<uint8_t>(v >> 8);
            }
            ASSERT_EQ(AACEncoderEncode(&p), 1);
            if (p.outputLength > 0)
                frames.emplace_back(p.output, p.output + p.outputLength);
            else
                EXPECT_TRUE(frames.empty())
                    << "no output in the middle of the stream, call " << call;
        }
        EXPECT_EQ(AACEncoderClose(&p), 1);
        EXPECT_TRUE(p.input == nullptr && p.reserved == nullptr);
        EXPECT_GE(frames.size() + 2, static_cast<size_t>(calls)) << "start-up delay of the encoder";
        TempDir dir("ocelix_aac");
        const auto file = dir / "tone.aac";
        WriteFile(file, frames);
        const auto probe = Probe(file);
        ASSERT_TRUE(probe.ok && probe.Audio() != nullptr) << probe.error;
        const ProbedStream& a = *probe.Audio();
        EXPECT_EQ(std::tie(a.codecName, a.profile, a.sampleRate, a.channels, a.frames),
                  std::tuple("aac", "LC", rate, channels, long(frames.size())));
        EXPECT_EQ(DecodeErrors(file), "");

        // The decoded sound is the tone: sign changes and level (dB of full scale) of the first
        // channel over half a second past the encoder's start-up.
        const auto r = RunTool(
            "ffmpeg -nostdin -i {} -af atrim=start=1:duration=0.5,astats -f null -", {file});
        EXPECT_NEAR(NumberAfter(r.err, "Zero crossings: "), 1000, 20)
            << "two per period, 500 periods";
        EXPECT_NEAR(NumberAfter(r.err, "RMS level dB: "),
                    20 * std::log10(16000 / std::sqrt(2.0) / 32768), 1.1)
            << r.err;
    }
}

}  // namespace
}  // namespace ocelix
