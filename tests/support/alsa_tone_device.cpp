#include "support/alsa_tone_device.h"

#include <alsa/asoundlib.h>

#include <cstdlib>
#include <fstream>

namespace rtmp::test {
namespace {

constexpr const char* kSystemConfig = "/usr/share/alsa/alsa.conf";

// ALSA reads its configuration again at the next call.
void ReloadAlsaConfig() {
    snd_config_update_free_global();
}

}  // namespace

AlsaToneDevice::AlsaToneDevice(double frequencyHz, int amplitude) {
    const std::filesystem::path module = TUTORLANE_ALSA_TONE_MODULE;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(module, ec)) {
        error_ = "tone module not built: " + module.string();
        return;
    }
    dir_ = std::make_unique<TempDir>("alsa_tone");
    configFile_ = dir_->Path() / "asoundrc";
    {
        std::ofstream out(configFile_);
        out << "pcm_type." << kPcmName << " {\n"
            << "    lib \"" << module.string() << "\"\n"
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
    if (previous != nullptr)
        previousPath_ = std::string(previous);
    configPath_ = std::string(kSystemConfig) + ":" + configFile_.string();
    if (setenv("ALSA_CONFIG_PATH", configPath_.c_str(), 1) != 0) {
        error_ = "cannot set ALSA_CONFIG_PATH";
        return;
    }
    applied_ = true;
    ReloadAlsaConfig();
}

AlsaToneDevice::~AlsaToneDevice() {
    if (!applied_)
        return;
    if (previousPath_.has_value()) {
        setenv("ALSA_CONFIG_PATH", previousPath_->c_str(), 1);
    } else {
        unsetenv("ALSA_CONFIG_PATH");
    }
    ReloadAlsaConfig();
}

}  // namespace rtmp::test
