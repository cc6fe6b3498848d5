// Test media made and inspected with ffmpeg and ffprobe, and lip-sync measurement on a recording.
#pragma once

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace rtmp::test {

// Raw Annex B H.264 (libx264, test pattern): no B-frames, one slice per picture, an IDR every
// `keyint` frames, 4:2:0. Returns false and fills *error on failure.
bool MakeTestH264(const std::filesystem::path& path, int width, int height, int fps, int frames,
                  int keyint = 25, std::string* error = nullptr);
// ADTS AAC-LC (sine tone).
bool MakeTestAdts(const std::filesystem::path& path, int sampleRate, int channels, double seconds,
                  std::string* error = nullptr);

struct ProbedStream {
    std::string codecType;  // "video" or "audio"
    std::string codecName;  // "h264", "aac", ...
    std::string profile;
    int width = 0, height = 0, sampleRate = 0, channels = 0;
    // Decoded frames (nb_read_frames) and demuxed packets (nb_read_packets), -1 when unknown.
    long frames = -1, packets = -1;
};

struct ProbeResult {
    bool ok = false;
    std::string error;  // ffprobe's complaint when !ok
    std::vector<ProbedStream> streams;
    const ProbedStream* Video() const { return Find("video"); }  // first one or null
    const ProbedStream* Audio() const { return Find("audio"); }
    const ProbedStream* Find(const std::string& codecType) const {
        for (const ProbedStream& s : streams)
            if (s.codecType == codecType)
                return &s;
        return nullptr;
    }
};

// Streams of a media file with decoded frame and packet counts.
ProbeResult Probe(const std::filesystem::path& path);

// Times (ms) of the packets of the first video ('v') or audio ('a') stream that have one.
std::vector<double> PacketTimes(const std::filesystem::path& path, char stream);

// What `ffmpeg -v error -i path -f null -` reports: empty when the file decodes cleanly.
std::string DecodeErrors(const std::filesystem::path& path);
// Empty when the pictures sit on the grid of `fps`: >= 97 % of the intervals within 5 ms of the
// period, all within 5 ms of whole periods, none under half of one; else what is wrong.
std::string FrameGridFaults(const std::filesystem::path& path, int fps);

// The number right after the first `key` in `text`; NAN when the key is absent.
double NumberAfter(const std::string& text, const std::string& key);

// A flash fades: its picture is a flat grey of FlashGray(ms since it began), so each flash picture
// tells when the flash began even when the encoder skipped some.
inline constexpr double kFlashFadeGrayPerMs = 1.5;
inline uint8_t FlashGray(double msSinceFlash) {
    const double g = 255 - kFlashFadeGrayPerMs * msSinceFlash;
    return static_cast<uint8_t>(g < 0 ? 0 : g);
}
// Stereo block b (frames 1024 b on) of the beep: 1 kHz for flashMs from each whole second.
inline std::vector<int16_t> BeepBlock(long b, int sampleRate, int flashMs) {
    std::vector<int16_t> block(2048);
    for (size_t i = 0; i < block.size(); i += 2) {
        const long inSecond = (b * 1024 + static_cast<long>(i / 2)) % sampleRate;
        const bool beep = inSecond < static_cast<long>(sampleRate) * flashMs / 1000;
        block[i] = block[i + 1] =
            static_cast<int16_t>(beep ? 24000 * std::sin(2 * std::numbers::pi * 1000 *
                                                         static_cast<double>(inSecond) / sampleRate)
                                      : 0);
    }
    return block;
}

struct FlashesAndBeeps {
    // The first white picture after a dark one, and the first loud sample after silence.
    std::vector<double> flashesMs, beepsMs;
    std::string error;  // ffmpeg's complaint when it could not decode the file
};

// A flash: a picture brighter than mid luma after a darker one, timed by its grey back to its
// start; a beep: the first sample above 1/3 of full scale after >= 100 ms without one, ended before
// the stream is. Times on the recording's own time line.
FlashesAndBeeps FindFlashesAndBeeps(const std::filesystem::path& recording);

// For each beep the nearest flash within maxApartMs: beep minus flash, in ms.
std::vector<double> PairOffsets(const FlashesAndBeeps& events, double maxApartMs = 400);

// Time stamp (ms) of the last complete tag of an FLV file, nullopt before the first one.
std::optional<long> LastFlvTagTime(const std::filesystem::path& flv);

}  // namespace rtmp::test
