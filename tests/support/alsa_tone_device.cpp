#include "support/alsa_tone_device.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace rtmp::test {
namespace {

constexpr const char* kSystemConfig = "/usr/share/alsa/alsa.conf";

// ALSA reads its configuration again at the next call.
void ReloadAlsaConfig() {
    snd_config_update_free_global();
}

}  // namespace

std::filesystem::path AlsaToneDevice::ModulePath() {
    return TUTORLANE_ALSA_TONE_MODULE;
}

std::filesystem::path AlsaToneDevice::BuildConfigFile() {
    return TUTORLANE_ALSA_TONE_ASOUNDRC;
}

AlsaToneDevice::AlsaToneDevice(double frequencyHz, int amplitude) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(ModulePath(), ec)) {
        error_ = "tone module not built: " + ModulePath().string();
        return;
    }
    dir_ = std::make_unique<TempDir>("alsa_tone");
    configFile_ = dir_->Path() / "asoundrc";
    {
        std::ofstream out(configFile_);
        out << "pcm_type." << kPcmName << " {\n"
            << "    lib \"" << ModulePath().string() << "\"\n"
            << "}\n"
            << "pcm." << kPcmName << " {\n"
            << "    type " << kPcmName << "\n"
            << "    frequency " << frequencyHz << "\n"
            << "    amplitude " << amplitude << "\n"
            << "    hint {\n"
            << "        show on\n"
            << "        description \"Test tone\"\n"
            << "    }\n"
            << "}\n";
        if (!out) {
            error_ = "cannot write " + configFile_.string();
            return;
        }
    }
    const char* previous = std::getenv("ALSA_CONFIG_PATH");
    if (previous != nullptr) {
        previousPath_ = std::string(previous);
    }
    configPath_ = std::string(kSystemConfig) + ":" + configFile_.string();
    if (setenv("ALSA_CONFIG_PATH", configPath_.c_str(), 1) != 0) {
        error_ = "cannot set ALSA_CONFIG_PATH";
        return;
    }
    applied_ = true;
    ReloadAlsaConfig();
}

AlsaToneDevice::~AlsaToneDevice() {
    if (!applied_) {
        return;
    }
    if (previousPath_.has_value()) {
        setenv("ALSA_CONFIG_PATH", previousPath_->c_str(), 1);
    } else {
        unsetenv("ALSA_CONFIG_PATH");
    }
    ReloadAlsaConfig();
}

ToneStats AnalyzeTone(std::span<const int16_t> samples, int channels) {
    ToneStats stats;
    if (channels <= 0) {
        return stats;
    }
    const auto width = static_cast<size_t>(channels);
    stats.frames = samples.size() / width;
    int previous = 0;
    int lastSign = 0;
    for (size_t frame = 0; frame < stats.frames; ++frame) {
        const int value = samples[frame * width];
        for (size_t channel = 1; channel < width; ++channel) {
            if (samples[frame * width + channel] != value) {
                stats.channelsEqual = false;
            }
        }
        stats.peak = std::max(stats.peak, value < 0 ? -value : value);
        if (frame > 0) {
            const int step = value - previous;
            stats.largestStep = std::max(stats.largestStep, step < 0 ? -step : step);
        }
        previous = value;
        // Zero itself belongs to neither side: a crossing is a change between the signs.
        const int sign = value > 0 ? 1 : (value < 0 ? -1 : 0);
        if (sign != 0) {
            if (lastSign != 0 && sign != lastSign) {
                ++stats.zeroCrossings;
            }
            lastSign = sign;
        }
    }
    return stats;
}

ToneStats AnalyzeToneBytes(std::span<const uint8_t> bytes, int channels) {
    std::vector<int16_t> samples(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        const auto bits = static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        samples[i] = static_cast<int16_t>(bits);
    }
    return AnalyzeTone(samples, channels);
}

}  // namespace rtmp::test
