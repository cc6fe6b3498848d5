// The two encoder components behind the VideoEncoder and AudioEncoder interfaces.
#include "backends.h"
#include "codecs/aac_encoder.h"
#include "codecs/h264_encoder.h"

namespace ocelix {
namespace {

class H264Component final : public VideoEncoder {
  public:
    ~H264Component() override { Close(); }
    bool Open(const EncoderConfig& c) override {
        param_ = H264EncoderParam{};
        param_.width = c.width;
        param_.height = c.height;
        param_.inputFormat = c.inputFormat;
        param_.frameRate = c.frameRate;
        param_.interval = c.interval;
        param_.rateControl =
            c.bitrate > 0 ? kRateControlAverageBitrate : kRateControlConstantQuality;
        param_.quality = c.quality;
        param_.bitrate = c.bitrate;
        return H264EncoderOpen(&param_) != 0 && param_.inputFrame != nullptr;
    }
    int FrameSize() const override { return param_.inputFrameSize; }
    bool Encode(const uint8_t* frame, const uint8_t** data, int* length) override {
        const bool ok = H264EncoderEncodeFrame(&param_, frame) != 0;
        *data = param_.output;
        *length = ok && param_.output != nullptr ? param_.outputLength : 0;
        return ok;
    }
    void RequestKeyFrame() override { H264EncoderRequestKeyFrame(&param_); }
    bool SetBitrate(int kbps) override { return H264EncoderSetBitrate(&param_, kbps) != 0; }
    void Close() override { H264EncoderClose(&param_); }

  private:
    H264EncoderParam param_{};
};

class AacComponent final : public AudioEncoder {
  public:
    ~AacComponent() override { Close(); }
    bool Open(int samplesPerSec, int bitsPerSample, int channels) override {
        param_ = AACEncoderParam{};
        param_.samplesPerSec = samplesPerSec;
        param_.bitsPerSample = bitsPerSample;
        param_.channels = channels;
        return AACEncoderOpen(&param_) != 0 && param_.input != nullptr;
    }
    int SamplesPerCall() const override { return param_.samplesPerCall; }
    int PrimingSamples() const override { return AACEncoderPrimingSamples(&param_); }
    uint8_t* Input() override { return param_.input; }
    void Encode(const uint8_t** data, int* length) override {
        AACEncoderEncode(&param_);
        *data = param_.output;
        *length = param_.output != nullptr ? param_.outputLength : 0;
    }
    void Close() override { AACEncoderClose(&param_); }

  private:
    AACEncoderParam param_{};
};

}  // namespace

std::unique_ptr<VideoEncoder> MakeH264Encoder() {
    return std::make_unique<H264Component>();
}
std::unique_ptr<AudioEncoder> MakeAacEncoder() {
    return std::make_unique<AacComponent>();
}

Backends DefaultBackends() {
    Backends b;
    b.rtmp = MakeStreamRtmpLayer();
    b.clock = MakeSteadyTickClock();
    b.video = MakeH264Encoder();
    b.audio = MakeAacEncoder();
    return b;
}

}  // namespace ocelix
