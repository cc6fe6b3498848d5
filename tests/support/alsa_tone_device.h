// The real-time test tone (tools/alsa_tone) as an ALSA capture PCM of this process:
// writes an ALSA configuration that loads the tone module and defines the PCM, and points
// ALSA_CONFIG_PATH at it. Child processes started afterwards inherit the setting.
#ifndef TESTS_SUPPORT_ALSA_TONE_DEVICE_H
#define TESTS_SUPPORT_ALSA_TONE_DEVICE_H

#include <filesystem>
#include <memory>
#include <optional>
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

  private:
    std::unique_ptr<TempDir> dir_;
    std::filesystem::path configFile_;
    std::string configPath_;
    std::optional<std::string> previousPath_;
    bool applied_ = false;
    std::string error_;
};

}  // namespace rtmp::test

#endif  // TESTS_SUPPORT_ALSA_TONE_DEVICE_H
