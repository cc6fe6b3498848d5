// The real-time test tone (tools/alsa_tone) as an ALSA capture PCM of this process:
// writes an ALSA configuration that loads the tone module and defines the PCM, and points
// ALSA_CONFIG_PATH at it. Child processes started afterwards inherit the setting.
#ifndef TESTS_SUPPORT_ALSA_TONE_DEVICE_H
#define TESTS_SUPPORT_ALSA_TONE_DEVICE_H

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "support/child_process.h"

namespace rtmp::test {

class AlsaToneDevice {
  public:
    static constexpr const char* kPcmName = "tutorlane_tone";

    // Defines the PCM kPcmName with the given tone and makes ALSA read the definition; the
    // previous ALSA_CONFIG_PATH comes back with the destructor. Create it before the first
    // ALSA call that should see the PCM, and only while no other thread uses ALSA.
    explicit AlsaToneDevice(double frequencyHz = 1000, int amplitude = 8000);
    ~AlsaToneDevice();
    AlsaToneDevice(const AlsaToneDevice&) = delete;
    AlsaToneDevice& operator=(const AlsaToneDevice&) = delete;

    // False when the module is missing or the configuration could not be written.
    bool Ok() const { return error_.empty(); }
    const std::string& Error() const { return error_; }
    std::string PcmName() const { return kPcmName; }
    const std::filesystem::path& ConfigFile() const { return configFile_; }
    // The value given to ALSA_CONFIG_PATH.
    const std::string& ConfigPath() const { return configPath_; }

    // The plugin module and the configuration the build wrote next to it (PCM
    // "tutorlane_tone", 1000 Hz), for shell scripts.
    static std::filesystem::path ModulePath();
    static std::filesystem::path BuildConfigFile();

  private:
    std::unique_ptr<TempDir> dir_;
    std::filesystem::path configFile_;
    std::string configPath_;
    std::optional<std::string> previousPath_;
    bool applied_ = false;
    std::string error_;
};

// What a stretch of interleaved 16-bit capture looks like, for checking a tone.
struct ToneStats {
    size_t frames = 0;
    size_t zeroCrossings = 0;   // sign changes of the first channel
    int peak = 0;               // largest magnitude on the first channel
    int largestStep = 0;        // largest change between neighbouring samples of the first channel
    bool channelsEqual = true;  // every channel carries the first channel's sample
};

// Statistics of whole frames of `samples` (host-order samples, interleaved by `channels`).
ToneStats AnalyzeTone(std::span<const int16_t> samples, int channels);
// The same for little-endian bytes (whole frames only).
ToneStats AnalyzeToneBytes(std::span<const uint8_t> bytes, int channels);

}  // namespace rtmp::test

#endif  // TESTS_SUPPORT_ALSA_TONE_DEVICE_H
