// Encoder records for the encoder library's tests.
#pragma once

#include <cstdio>
#include <string>

#include "ocelix/ocelix.h"

namespace rtmp::test {

// A width x height BGR picture (bottom row first) at `fps` frames a second with a key frame every
// two seconds, 800 kbit/s; 16-bit sound of `channels` at `sampleRate` (0: no sound); published
// live, or appended to a recording when `record` is 1.
inline EncoderConfig MakeEncoderConfig(const std::string& url, int width, int height, int fps = 25,
                                       int sampleRate = 44100, int channels = 2, int record = 0) {
    EncoderConfig c{};
    c.inputFormat = OCELIX_FORMAT_BGR24_BOTTOM_UP;
    c.bitrate = 800, c.width = width, c.height = height, c.frameRate = fps, c.interval = 2 * fps;
    c.samplesPerSec = sampleRate, c.bitsPerSample = sampleRate > 0 ? 16 : 0;
    c.channels = sampleRate > 0 ? channels : 0, c.record = record;
    std::snprintf(c.url, sizeof c.url, "%s", url.c_str());
    return c;
}

}  // namespace rtmp::test
