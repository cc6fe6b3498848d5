// Lip-sync measurement on a recording: where the picture flashes white and where a beep starts,
// each on the recording's own time line, and how far apart the pairs are. Also the newest
// media time in an FLV file that is still being written.
#ifndef TESTS_SUPPORT_LIP_SYNC_H
#define TESTS_SUPPORT_LIP_SYNC_H

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace rtmp::test {

// A flash fades: its picture is a flat grey of FlashGray(ms since the flash began), full white
// at first. So each flash picture tells when the flash began, and a picture the encoder skipped
// under load does not move the measured flash.
inline constexpr double kFlashFadeGrayPerMs = 1.5;
inline uint8_t FlashGray(double msSinceFlash) {
    const double g = 255 - kFlashFadeGrayPerMs * msSinceFlash;
    return static_cast<uint8_t>(g < 0 ? 0 : g);
}

struct FlashesAndBeeps {
    std::vector<double> flashesMs;  // first white picture after a dark one
    std::vector<double> beepsMs;    // first loud sample after silence
    std::string error;              // empty when both streams were read
};

// Decodes the first video and audio stream with ffmpeg/ffprobe. A flash is a picture whose mean
// luma is above the middle after one below it, timed by its grey back to where it began; a beep
// starts at the first sample above a third of full scale after at least 100 ms without one, and
// ends before the stream does. Times are on the recording's own time line: each decoded frame's
// time stamp (plus the sample's place in its audio frame).
FlashesAndBeeps FindFlashesAndBeeps(const std::filesystem::path& recording);

// For each beep the nearest flash within maxApartMs: beep minus flash, in ms.
std::vector<double> PairOffsets(const FlashesAndBeeps& events, double maxApartMs = 400);

// Time stamp (ms) of the last complete tag of an FLV file, nullopt before the first one.
std::optional<long> LastFlvTagTime(const std::filesystem::path& flv);

}  // namespace rtmp::test

#endif  // TESTS_SUPPORT_LIP_SYNC_H
