#include "client/aac_config.h"

#include "basis/adts.h"

namespace rtmp {

void AdtsToAudioSpecificConfig(uint8_t adts2, uint8_t adts3, uint8_t config[2]) {
    config[0] = config[1] = 0;
    const int rateIndex = (adts2 >> 2) & 0x0F;
    const int channels = ((adts2 & 0x01) << 2) | (adts3 >> 6);
    const bool privateBit = (adts2 & 0x02) != 0;
    const bool rateSupported =
        rateIndex == 0 || (rateIndex >= 3 && rateIndex <= 8) || rateIndex == 10 || rateIndex == 11;
    if (privateBit || !rateSupported || (channels != 1 && channels != 2) || (adts3 & 0x3F) != 0) {
        return;
    }
    const auto bytes = basis::AudioSpecificConfig(basis::kAacObjectTypeLc, rateIndex, channels);
    config[0] = bytes[0];
    config[1] = bytes[1];
}

}  // namespace rtmp
