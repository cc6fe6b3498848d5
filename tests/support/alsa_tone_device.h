// The real-time test tone (tools/alsa_tone) as an ALSA capture PCM of this process:
// writes an ALSA configuration that loads the tone module and defines the PCM, and points
// ALSA_CONFIG_PATH at it. Child processes started afterwards inherit the setting.
#pragma once

#include <optional>
#include <string>

#include "support/child_process.h"

namespace rtmp::test {

class AlsaToneDevice {
  public:
    // Defines the PCM PcmName() with the given tone (amplitude 0: silence) and makes ALSA read
    // the definition; the previous ALSA_CONFIG_PATH comes back with the destructor. Create it
    // before the first ALSA call that should see the PCM, and only while no other thread uses
    // ALSA.
    explicit AlsaToneDevice(double frequencyHz = 1000, int amplitude = 8000);
    ~AlsaToneDevice();

    std::string PcmName() const { return "tutorlane_tone"; }
    // False when the tone module was not built.
    bool Ok() const { return error_.empty(); }
    const std::string& Error() const { return error_; }

  private:
    TempDir dir_{"alsa_tone"};
    std::optional<std::string> previousPath_;
    std::string error_;
};

}  // namespace rtmp::test
