// The real-time test tone as an ALSA capture PCM, via ALSA_CONFIG_PATH (inherited by children).
#pragma once

#include <optional>
#include <string>

#include "support/child_process.h"

namespace rtmp::test {

class AlsaToneDevice {
  public:
    // Defines PcmName() with this tone (amplitude 0: silence) until destroyed. Create it before
    // the first ALSA call that should see it, while no other thread uses ALSA.
    explicit AlsaToneDevice(double frequencyHz = 1000, int amplitude = 8000);
    ~AlsaToneDevice();

    std::string PcmName() const { return "tutorlane_tone"; }
    bool Ok() const { return error_.empty(); }
    const std::string& Error() const { return error_; }

  private:
    TempDir dir_{"alsa_tone"};
    std::optional<std::string> previousPath_;
    std::string error_;
};

}  // namespace rtmp::test
