// AAC encoder component: 16-bit interleaved PCM blocks in, ADTS frames (AAC-LC, 7-byte header
// without CRC) out, behind three plain functions that exchange one parameter record.
//
// One encode call takes 1024 samples per channel and gives at most one ADTS frame; the encoder
// has a start-up delay, so the first calls give none (outputLength 0). Supported: 16 bits per
// sample, 1 or 2 channels, the AAC sample rates 7350..96000 Hz. Bit rate 64 kbit/s per channel,
// lowered where the sample rate allows less.
#ifndef OCELIX_CODECS_AAC_ENCODER_H
#define OCELIX_CODECS_AAC_ENCODER_H

#include <cstddef>
#include <cstdint>

namespace ocelix {

struct AACEncoderParam {
    int32_t samplesPerSec;   // in: sample rate in Hz
    int32_t bitsPerSample;   // in: 16
    int32_t channels;        // in: 1 or 2
    uint8_t* input;          // out, at open: component-owned buffer for one block
    uint8_t* output;         // out, per encode: one ADTS frame, valid until the next call
    int32_t outputLength;    // out, per encode: bytes at `output`, 0 while nothing came out
    int32_t samplesPerCall;  // out, at open: samples of all channels per call (1024 * channels)
    void* reserved;          // the component's state; null when not open
    int32_t reservedWords[2];
};

#if UINTPTR_MAX > 0xFFFFFFFFu
static_assert(offsetof(AACEncoderParam, input) == 16);
static_assert(offsetof(AACEncoderParam, output) == 24);
static_assert(offsetof(AACEncoderParam, outputLength) == 32);
static_assert(offsetof(AACEncoderParam, samplesPerCall) == 36);
static_assert(offsetof(AACEncoderParam, reserved) == 40);
static_assert(sizeof(AACEncoderParam) == 56);
#else
static_assert(offsetof(AACEncoderParam, input) == 12);
static_assert(offsetof(AACEncoderParam, samplesPerCall) == 24);
static_assert(sizeof(AACEncoderParam) == 40);
#endif

// A record is zeroed before its first Open; the component keeps its state behind `reserved`.

extern "C" {

// Opens an encoder for the input fields. Sets input (zeroed, samplesPerCall * 2 bytes) and
// samplesPerCall. Returns 1, or 0 on unsupported parameters or failure, with the output fields
// zero/null. A record that is already open is closed first.
int AACEncoderOpen(AACEncoderParam* param);

// Encodes the block in `input`. Sets output and outputLength (0 while the encoder has no frame).
// Returns 1, or 0 when the record is not open or encoding failed (outputLength then 0).
int AACEncoderEncode(AACEncoderParam* param);

// Releases everything Open made and nulls the output fields. Not open: no-op. Returns 1.
int AACEncoderClose(AACEncoderParam* param);

// Samples per channel of encoder delay: the n-th frame that comes out (from 0) starts with input
// sample n x 1024 - this value. 0 when not open.
int AACEncoderPrimingSamples(const AACEncoderParam* param);

}  // extern "C"

}  // namespace ocelix

#endif  // OCELIX_CODECS_AAC_ENCODER_H
