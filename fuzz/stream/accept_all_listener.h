// A decoder listener for fuzzing: accepts every output and reads each byte of it, so that a
// unit reaching past its storage shows up under the address sanitizer.
#pragma once

#include <cstdint>

#include "wire/decoder_listener.h"
#include "wire/ping_message.h"

namespace fuzzing {

class AcceptAll : public rtmp::DecoderListener {
  public:
    void OnCallBack(const char* text, int length) override { Touch(text, length); }
    void OnResultLine(const char* line, int length) override { Touch(line, length); }
    void OnPingRequest(rtmp::PingMessage& answer) override {
        Touch(answer.Current(), answer.Remaining());
    }
    bool WantsVideo() const override { return true; }
    bool WantsAudio() const override { return true; }
    void OnVideo(const uint8_t* data, int length, uint32_t) override { Touch(data, length); }
    void OnAudio(const uint8_t* data, int length, uint32_t) override { Touch(data, length); }

  private:
    void Touch(const void* data, int length) {
        if (length < 0)
            __builtin_trap();
        const auto* p = static_cast<const uint8_t*>(data);
        for (int i = 0; i < length; ++i)
            sink_ = static_cast<uint8_t>(sink_ + p[i]);
    }
    volatile uint8_t sink_ = 0;
};

}  // namespace fuzzing
