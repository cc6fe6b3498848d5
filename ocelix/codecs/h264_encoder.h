// H.264 encoder component: packed BGR frames in, Annex B access units out, behind four plain
// functions that exchange one parameter record.
//
// Output of every encode call is one access unit: NAL units each preceded by the 4-byte start
// code 00 00 00 01, a single slice per picture, no B-frames, no access unit delimiters, and SPS
// and PPS in front of every IDR picture. Profile High, level 4.0.
//
// Input format 4103: packed 24-bit pixels in blue, green, red order, rows of width * 3 bytes
// stored bottom row first. H.264 4:2:0 needs even dimensions: an odd width loses its rightmost
// column and an odd height its bottom row (as displayed); the encoded picture is
// (width & ~1) x (height & ~1).
#ifndef OCELIX_CODECS_H264_ENCODER_H
#define OCELIX_CODECS_H264_ENCODER_H

#include <cstddef>
#include <cstdint>

namespace ocelix {

// Pixel-format code of packed bottom-up BGR24 frames.
inline constexpr int32_t kInputFormatBgr24BottomUp = 4103;

// Rate-control modes.
inline constexpr int32_t kRateControlConstantQuality = 0;  // CRF, `quality` is the CRF value
inline constexpr int32_t kRateControlAverageBitrate = 2;   // ABR of `bitrate` kbit/s

struct H264EncoderParam {
    int32_t width;           // in: frame width in pixels
    int32_t height;          // in: frame height in pixels
    int32_t inputFormat;     // in: pixel-format code, only 4103 is accepted
    int32_t frameRate;       // in: frames per second, > 0
    int32_t interval;        // in: key-frame interval in frames; <= 0 means 2 * frameRate
    int32_t rateControl;     // in: 2 with bitrate > 0 selects ABR, anything else CRF
    int32_t quality;         // in: CRF value 1..51 (other values mean 23)
    int32_t bitrate;         // in: target bit rate in kbit/s for ABR
    int32_t outputLength;    // out, per encode: bytes at `output` (0 when no picture came out)
    int32_t inputFrameSize;  // out, at open: width * height * 3
    uint8_t* inputFrame;     // out, at open: component-owned frame buffer to fill before encode
    uint8_t* output;         // out, per encode: the access unit, valid until the next call
    void* reserved;          // the component's state; null when not open
};

#if UINTPTR_MAX > 0xFFFFFFFFu
static_assert(offsetof(H264EncoderParam, outputLength) == 32);
static_assert(offsetof(H264EncoderParam, inputFrameSize) == 36);
static_assert(offsetof(H264EncoderParam, inputFrame) == 40);
static_assert(offsetof(H264EncoderParam, output) == 48);
static_assert(offsetof(H264EncoderParam, reserved) == 56);
static_assert(sizeof(H264EncoderParam) == 64);
#else
static_assert(offsetof(H264EncoderParam, inputFrame) == 40);
static_assert(offsetof(H264EncoderParam, reserved) == 48);
static_assert(sizeof(H264EncoderParam) == 52);
#endif

// A record is zeroed before its first Open; the component keeps its state behind `reserved`.

extern "C" {

// Opens an encoder for the input fields of `param`. Sets inputFrameSize and inputFrame (a zeroed
// buffer), outputLength 0. Returns 1, or 0 on invalid parameters or failure, with the output
// fields zero/null. A record that is already open is closed first.
int H264EncoderOpen(H264EncoderParam* param);

// Encodes the frame in inputFrame. Sets output and outputLength (0 when the encoder gave nothing).
// Returns 1, or 0 when the record is not open or encoding failed (outputLength then 0).
int H264EncoderEncode(H264EncoderParam* param);

// Releases everything Open made and nulls the output fields. A record that is not open: no-op.
// Returns 1.
int H264EncoderClose(H264EncoderParam* param);

// Like H264EncoderEncode, for a frame of inputFrameSize bytes held by the caller. A null frame
// encodes the picture of the previous call again without converting it anew (a repeated
// picture costs the encoder only).
int H264EncoderEncodeFrame(H264EncoderParam* param, const uint8_t* frame);

// Average-bit-rate mode only: x264's target becomes kbps (bit rate and one second of VBV) from
// the next picture on; bitrate is updated. Returns 1, or 0 when not open, not in that mode or
// kbps is not positive. Call on the thread that encodes.
int H264EncoderSetBitrate(H264EncoderParam* param, int kbps);

// The next frame given to H264EncoderEncode becomes an IDR picture with SPS and PPS in front.
// A record that is not open: no-op.
void H264EncoderRequestKeyFrame(H264EncoderParam* param);

}  // extern "C"

}  // namespace ocelix

#endif  // OCELIX_CODECS_H264_ENCODER_H
