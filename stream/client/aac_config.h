// The AAC AudioSpecificConfig an RTMP audio sequence header carries, made from an ADTS header.
#pragma once

#include <cstdint>

namespace rtmp {

// AAC AudioSpecificConfig (two bytes) from ADTS header bytes 2 and 3; 00 00 for headers this
// library does not carry (see the supported rates and channel layouts in the source).
void AdtsToAudioSpecificConfig(uint8_t adts2, uint8_t adts3, uint8_t config[2]);

}  // namespace rtmp
