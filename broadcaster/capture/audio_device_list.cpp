#include "capture/audio_device_list.h"

namespace capture {
namespace {

std::string OneLine(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c == '\n') {
            out += " - ";
        } else if (c != '\r') {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::vector<AudioDeviceEntry> BuildAudioDeviceList(const std::vector<AudioPcmHint>& hints) {
    std::vector<AudioDeviceEntry> list;
    list.push_back(AudioDeviceEntry{std::string(), kPrimaryCaptureDescription});
    size_t identities = 0;
    for (const AudioPcmHint& hint : hints) {
        if (hint.ioid.has_value() && *hint.ioid != "Input") {
            continue;
        }
        if (hint.name.empty() || hint.name == "null") {
            continue;
        }
        if (identities == kMaxAudioDeviceIdentities) {
            continue;
        }
        ++identities;
        list.push_back(AudioDeviceEntry{
            hint.name, OneLine(hint.description.empty() ? hint.name : hint.description)});
    }
    return list;
}

}  // namespace capture
