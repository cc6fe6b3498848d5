// Test media made and inspected with ffmpeg and ffprobe, run as child processes.
#ifndef TESTS_SUPPORT_MEDIA_TOOLS_H
#define TESTS_SUPPORT_MEDIA_TOOLS_H

#include <filesystem>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace rtmp::test {

// Raw Annex B H.264 (libx264, test pattern): no B-frames, one slice per picture, an IDR every
// `keyint` frames, 4:2:0. Returns false and fills *error on failure.
bool MakeTestH264(const std::filesystem::path& path, int width, int height, int fps, int frames,
                  int keyint = 25, std::string* error = nullptr);
// ADTS AAC-LC (native aac encoder, sine tone).
bool MakeTestAdts(const std::filesystem::path& path, int sampleRate, int channels, double seconds,
                  std::string* error = nullptr);

struct ProbedStream {
    std::string codecType;  // "video" or "audio"
    std::string codecName;  // "h264", "aac", ...
    std::string profile;
    int width = 0;
    int height = 0;
    int sampleRate = 0;
    int channels = 0;
    long frames = -1;   // decoded frames (nb_read_frames), -1 when unknown
    long packets = -1;  // demuxed packets (nb_read_packets), -1 when unknown
};

struct ProbeResult {
    bool ok = false;
    std::string error;  // ffprobe's complaint when !ok
    std::vector<ProbedStream> streams;
    const ProbedStream* Video() const { return Find("video"); }  // first video stream or null
    const ProbedStream* Audio() const { return Find("audio"); }  // first audio stream or null
    const ProbedStream* Find(const std::string& codecType) const {
        for (const ProbedStream& s : streams)
            if (s.codecType == codecType)
                return &s;
        return nullptr;
    }
};

// Streams of a media file with decoded frame and packet counts.
ProbeResult Probe(const std::filesystem::path& path);

// Presentation times in milliseconds of the packets of the first video ('v') or audio ('a')
// stream, in file order. Packets without a time are left out.
std::vector<double> PacketTimes(const std::filesystem::path& path, char stream);

// What `ffmpeg -v error -i path -fps_mode passthrough -f null -` reports: empty when the file
// decodes cleanly.
std::string DecodeErrors(const std::filesystem::path& path);

}  // namespace rtmp::test

#endif  // TESTS_SUPPORT_MEDIA_TOOLS_H
