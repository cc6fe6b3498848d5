// The 7-byte ADTS header (MPEG-4, no CRC) in front of one raw AAC frame, and the table of
// sampling frequencies its index field selects from.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace basis {

inline constexpr std::size_t kAdtsHeaderSize = 7;
// The 13-bit frame length field counts the header too.
inline constexpr std::size_t kAdtsMaxFrameSize = (1u << 13) - 1;
inline constexpr int kAacObjectTypeLc = 2;

// Sampling frequency index of an AAC sample rate, nullopt for rates without one.
std::optional<int> AdtsSamplingIndex(int samplesPerSec);
// Sample rate of a sampling frequency index; 0 for a reserved or out-of-range index.
int AdtsSampleRate(int index);

// Writes the header for a frame of `payloadSize` raw bytes into out[0..6]. objectType is the
// MPEG-4 audio object type (2 for LC), channels 1..7. False, with nothing written, when a value
// does not fit its field.
bool WriteAdtsHeader(uint8_t* out, std::size_t payloadSize, int objectType, int samplingIndex,
                     int channels);
// Stores frameSize (header included, at most kAdtsMaxFrameSize) in the length field of the
// header at out[0..6] and marks the buffer fullness as variable; the other fields stay.
void SetAdtsFrameSize(uint8_t* out, std::size_t frameSize);
// The frame size (header included) the length field of the header at in[0..6] holds.
std::size_t AdtsFrameSize(const uint8_t* in);

// The two-byte AudioSpecificConfig of a stream: object type (5 bits), sampling frequency index
// (4), channel configuration (4), three zero bits.
inline std::array<uint8_t, 2> AudioSpecificConfig(int objectType, int samplingIndex, int channels) {
    const unsigned bits =
        static_cast<unsigned>(objectType << 11 | samplingIndex << 7 | channels << 3);
    return {static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)};
}

}  // namespace basis
