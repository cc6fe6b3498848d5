// The 7-byte ADTS header (MPEG-4, no CRC) in front of one raw AAC frame.
#ifndef OCELIX_CODECS_ADTS_H
#define OCELIX_CODECS_ADTS_H

#include <cstddef>
#include <cstdint>
#include <optional>

namespace ocelix {

inline constexpr std::size_t kAdtsHeaderSize = 7;
// The 13-bit frame length field counts the header too.
inline constexpr std::size_t kAdtsMaxFrameSize = (1u << 13) - 1;
inline constexpr int kAacObjectTypeLc = 2;

// Sampling frequency index of an AAC sample rate, nullopt for rates without one.
std::optional<int> AdtsSamplingIndex(int samplesPerSec);

// Writes the header for a frame of `payloadSize` raw bytes into out[0..6]. objectType is the
// MPEG-4 audio object type (2 for LC), channels 1..7. False, with nothing written, when a value
// does not fit its field.
bool WriteAdtsHeader(uint8_t* out, std::size_t payloadSize, int objectType, int samplingIndex,
                     int channels);

}  // namespace ocelix

#endif  // OCELIX_CODECS_ADTS_H
