// Encoder records for the encoder library's tests: by default a 640 x 360 BGR picture at 25
// frames a second and 800 kbit/s with 44.1 kHz 16-bit stereo, published live; each setter
// changes what its name says.
#ifndef TESTS_SUPPORT_ENCODER_CONFIG_H
#define TESTS_SUPPORT_ENCODER_CONFIG_H

#include <cstdio>
#include <string>

#include "ocelix/ocelix.h"

namespace rtmp::test {

class EncoderConfigBuilder {
  public:
    explicit EncoderConfigBuilder(const std::string& url = "rtmp://127.0.0.1:1935/live/room1") {
        c_.inputFormat = OCELIX_FORMAT_BGR24_BOTTOM_UP;
        c_.bitrate = 800;
        Size(640, 360).Fps(25).Audio(44100, 2).Url(url);
    }
    EncoderConfigBuilder& Size(int width, int height) {
        c_.width = width;
        c_.height = height;
        return *this;
    }
    // Also a key frame every two seconds.
    EncoderConfigBuilder& Fps(int fps) {
        c_.frameRate = fps;
        c_.interval = 2 * fps;
        return *this;
    }
    // 16-bit samples; a rate of 0 leaves the instance without audio.
    EncoderConfigBuilder& Audio(int samplesPerSec, int channels) {
        c_.samplesPerSec = samplesPerSec;
        c_.bitsPerSample = samplesPerSec > 0 ? 16 : 0;
        c_.channels = channels;
        return *this;
    }
    EncoderConfigBuilder& NoAudio() { return Audio(0, 0); }
    EncoderConfigBuilder& Record(int record) {
        c_.record = record;
        return *this;
    }
    EncoderConfigBuilder& Url(const std::string& url) {
        std::snprintf(c_.url, sizeof c_.url, "%s", url.c_str());
        return *this;
    }
    operator EncoderConfig() const { return c_; }  // NOLINT: reads as the record it builds

  private:
    EncoderConfig c_{};
};

}  // namespace rtmp::test

#endif  // TESTS_SUPPORT_ENCODER_CONFIG_H
