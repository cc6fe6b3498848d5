#include "basis/adts.h"

#include <array>

namespace basis {
namespace {

constexpr std::array<int, 13> kSampleRates = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                              22050, 16000, 12000, 11025, 8000,  7350};
constexpr int kMaxChannelConfig = 7;
constexpr unsigned kBufferFullnessVbr = 0x7FF;

}  // namespace

std::optional<int> AdtsSamplingIndex(int samplesPerSec) {
    for (std::size_t i = 0; i < kSampleRates.size(); ++i) {
        if (kSampleRates[i] == samplesPerSec)
            return static_cast<int>(i);
    }
    return std::nullopt;
}

int AdtsSampleRate(int index) {
    if (index < 0 || index >= static_cast<int>(kSampleRates.size()))
        return 0;
    return kSampleRates[static_cast<std::size_t>(index)];
}

bool WriteAdtsHeader(uint8_t* out, std::size_t payloadSize, int objectType, int samplingIndex,
                     int channels) {
    if (out == nullptr || payloadSize > kAdtsMaxFrameSize - kAdtsHeaderSize || objectType < 1 ||
        objectType > 4 || samplingIndex < 0 ||
        samplingIndex >= static_cast<int>(kSampleRates.size()) || channels < 1 ||
        channels > kMaxChannelConfig) {
        return false;
    }
    const unsigned profile = static_cast<unsigned>(objectType - 1);
    const unsigned index = static_cast<unsigned>(samplingIndex);
    const unsigned config = static_cast<unsigned>(channels);
    // syncword 0xFFF, MPEG-4, layer 0, protection absent
    out[0] = 0xFF;
    out[1] = 0xF1;
    // profile(2) sampling index(4) private(1) channel config high bit(1)
    out[2] = static_cast<uint8_t>((profile << 6) | (index << 2) | (config >> 2));
    // channel config low bits(2) original/home/copyright bits(4), length below
    out[3] = static_cast<uint8_t>((config & 3u) << 6);
    SetAdtsFrameSize(out, payloadSize + kAdtsHeaderSize);
    return true;
}

void SetAdtsFrameSize(uint8_t* out, std::size_t frameSize) {
    const unsigned length = static_cast<unsigned>(frameSize) & kAdtsMaxFrameSize;
    // length bits 12..11 below the channel and copyright bits
    out[3] = static_cast<uint8_t>((out[3] & 0xFCu) | (length >> 11));
    // length bits 10..3
    out[4] = static_cast<uint8_t>((length >> 3) & 0xFFu);
    // length bits 2..0, buffer fullness bits 10..6
    out[5] = static_cast<uint8_t>(((length & 7u) << 5) | (kBufferFullnessVbr >> 6));
    // buffer fullness bits 5..0, one raw data block (field value 0)
    out[6] = static_cast<uint8_t>((kBufferFullnessVbr & 0x3Fu) << 2);
}

std::size_t AdtsFrameSize(const uint8_t* in) {
    return (static_cast<std::size_t>(in[3] & 0x03) << 11) | (static_cast<std::size_t>(in[4]) << 3) |
           (static_cast<std::size_t>(in[5]) >> 5);
}

}  // namespace basis
