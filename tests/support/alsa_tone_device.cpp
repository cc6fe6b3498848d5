#include "support/alsa_tone_device.h"

#include <alsa/asoundlib.h>

#include <cstdlib>
#include <fstream>

namespace rtmp::test {

AlsaToneDevice::AlsaToneDevice(double frequencyHz, int amplitude) {
    const std::filesystem::path module = TUTORLANE_ALSA_TONE_MODULE;
    if (!std::filesystem::is_regular_file(module)) {
        error_ = "tone module not built: " + module.string();
        return;
    }
    std::ofstream(dir_ / "asoundrc")
        << "pcm_type." << PcmName() << " { lib \"" << module.string() << "\" }\npcm." << PcmName()
        << " {\n  type " << PcmName() << "\n  frequency " << frequencyHz << "\n  amplitude "
        << amplitude << "\n  hint { show on description \"Test tone\" }\n}\n";
    if (const char* previous = std::getenv("ALSA_CONFIG_PATH"))
        previousPath_ = previous;
    const std::string path = "/usr/share/alsa/alsa.conf:" + (dir_ / "asoundrc").string();
    setenv("ALSA_CONFIG_PATH", path.c_str(), 1);
    snd_config_update_free_global();  // ALSA reads its configuration again at the next call
}

AlsaToneDevice::~AlsaToneDevice() {
    if (!Ok())
        return;
    previousPath_ ? setenv("ALSA_CONFIG_PATH", previousPath_->c_str(), 1)
                  : unsetenv("ALSA_CONFIG_PATH");
    snd_config_update_free_global();
}

}  // namespace rtmp::test
