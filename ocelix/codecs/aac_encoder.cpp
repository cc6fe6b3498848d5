#include "codecs/aac_encoder.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <stdexcept>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/samplefmt.h>
}

#include "basis/adts.h"
#include "basis/c_edge.h"
#include "codecs/component_record.h"

namespace ocelix {
namespace {

constexpr const char* kEncoderName = "aac";  // libavcodec's native AAC-LC encoder
constexpr int kBitsPerSample = 16;
constexpr int kBytesPerSample = kBitsPerSample / 8;
constexpr int kMaxChannels = 2;
constexpr int64_t kBitRatePerChannel = 64000;
// An AAC-LC frame carries at most 6144 bits per channel for 1024 samples.
constexpr int64_t kMaxBitsPerChannelPerSample = 6;
constexpr std::size_t kMaxPendingFrames = 8;
constexpr float kSampleScale = 1.0f / 32768.0f;

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

// One open encoder: the caller's block buffer, libavcodec's encoder, its input frame, and the
// ADTS frames it has produced but not yet handed out.
class AacSession {
  public:
    AacSession(int samplesPerSec, int channels, int samplingIndex)
        : channels_(channels), samplingIndex_(samplingIndex) {
        const AVCodec* codec = avcodec_find_encoder_by_name(kEncoderName);
        if (codec == nullptr) {
            throw std::runtime_error("no AAC encoder");
        }
        context_.reset(avcodec_alloc_context3(codec));
        if (!context_) {
            throw std::bad_alloc();
        }
        context_->sample_fmt = AV_SAMPLE_FMT_FLTP;
        context_->sample_rate = samplesPerSec;
        av_channel_layout_default(&context_->ch_layout, channels);
        context_->bit_rate =
            channels * std::min(kBitRatePerChannel, kMaxBitsPerChannelPerSample * samplesPerSec);
        context_->profile = FF_PROFILE_AAC_LOW;
        context_->time_base = AVRational{1, samplesPerSec};
        if (avcodec_open2(context_.get(), codec, nullptr) < 0 || context_->frame_size <= 0) {
            throw std::runtime_error("AAC encoder did not open");
        }

        frame_.reset(av_frame_alloc());
        packet_.reset(av_packet_alloc());
        if (!frame_ || !packet_) {
            throw std::bad_alloc();
        }
        frame_->format = AV_SAMPLE_FMT_FLTP;
        frame_->nb_samples = context_->frame_size;
        frame_->sample_rate = samplesPerSec;
        if (av_channel_layout_copy(&frame_->ch_layout, &context_->ch_layout) < 0 ||
            av_frame_get_buffer(frame_.get(), 0) < 0) {
            throw std::runtime_error("AAC frame buffer");
        }
        input_.assign(static_cast<std::size_t>(context_->frame_size) * channels * kBytesPerSample,
                      0);
        output_.reserve(basis::kAdtsMaxFrameSize);
    }

    // Drains the encoder before it is freed; what it still held is not wanted.
    ~AacSession() {
        if (avcodec_send_frame(context_.get(), nullptr) < 0) {
            return;
        }
        while (avcodec_receive_packet(context_.get(), packet_.get()) >= 0) {
            av_packet_unref(packet_.get());
        }
    }
    AacSession(const AacSession&) = delete;
    AacSession& operator=(const AacSession&) = delete;

    uint8_t* Input() { return input_.data(); }
    int SamplesPerCall() const { return context_->frame_size * channels_; }
    int PrimingSamples() const { return context_->initial_padding; }
    uint8_t* Output() { return output_.data(); }
    int OutputLength() const { return static_cast<int>(output_.size()); }

    // Encodes the block in input_; output_ receives the oldest finished ADTS frame, if any.
    bool Encode() {
        output_.clear();
        if (av_frame_make_writable(frame_.get()) < 0) {
            return false;
        }
        Deinterleave();
        frame_->pts = nextPts_;
        nextPts_ += frame_->nb_samples;
        if (avcodec_send_frame(context_.get(), frame_.get()) < 0) {
            return false;
        }
        if (!Drain()) {
            return false;
        }
        if (!pending_.empty()) {
            output_.assign(pending_.front().begin(), pending_.front().end());
            pending_.pop_front();
        }
        return true;
    }

  private:
    // 16-bit little-endian interleaved samples to one float plane per channel.
    void Deinterleave() {
        const int samples = frame_->nb_samples;
        const uint8_t* in = input_.data();
        for (int c = 0; c < channels_; ++c) {
            auto* plane = reinterpret_cast<float*>(frame_->extended_data[c]);
            for (int i = 0; i < samples; ++i) {
                const std::size_t at =
                    (static_cast<std::size_t>(i) * channels_ + c) * kBytesPerSample;
                const auto value = static_cast<int16_t>(
                    static_cast<uint16_t>(in[at] | (static_cast<unsigned>(in[at + 1]) << 8)));
                plane[i] = static_cast<float>(value) * kSampleScale;
            }
        }
    }

    // Moves every packet the encoder has ready into pending_ as an ADTS frame.
    bool Drain() {
        for (;;) {
            const int result = avcodec_receive_packet(context_.get(), packet_.get());
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
                return true;
            }
            if (result < 0) {
                return false;
            }
            const auto size = static_cast<std::size_t>(packet_->size);
            std::vector<uint8_t> adts(basis::kAdtsHeaderSize + size);
            const bool written = basis::WriteAdtsHeader(adts.data(), size, basis::kAacObjectTypeLc,
                                                        samplingIndex_, channels_);
            if (written) {
                std::memcpy(adts.data() + basis::kAdtsHeaderSize, packet_->data, size);
                if (pending_.size() == kMaxPendingFrames) {
                    pending_.pop_front();
                }
                pending_.push_back(std::move(adts));
            }
            av_packet_unref(packet_.get());
            if (!written) {
                return false;
            }
        }
    }

    int channels_;
    int samplingIndex_;
    std::unique_ptr<AVCodecContext, CodecContextDeleter> context_;
    std::unique_ptr<AVFrame, FrameDeleter> frame_;
    std::unique_ptr<AVPacket, PacketDeleter> packet_;
    std::vector<uint8_t> input_;
    std::vector<uint8_t> output_;
    std::deque<std::vector<uint8_t>> pending_;
    int64_t nextPts_ = 0;
};

void ClearOutputs(AACEncoderParam* param) {
    param->input = nullptr;
    param->output = nullptr;
    param->outputLength = 0;
    param->samplesPerCall = 0;
    param->reserved = nullptr;
}

}  // namespace

extern "C" {

int AACEncoderOpen(AACEncoderParam* param) {
    // libavcodec is used by this component only: its statistics lines at close are noise on a
    // teacher's console, errors still show.
    av_log_set_level(AV_LOG_ERROR);
    if (param == nullptr) {
        return 0;
    }
    AACEncoderClose(param);
    ClearOutputs(param);
    const std::optional<int> samplingIndex = basis::AdtsSamplingIndex(param->samplesPerSec);
    if (!samplingIndex || param->bitsPerSample != kBitsPerSample || param->channels < 1 ||
        param->channels > kMaxChannels) {
        return 0;
    }
    // The record is described only once the session exists: when making it throws, the output
    // fields stay as cleared above.
    return basis::CallAtCEdge(
        [param, &samplingIndex] {
            auto session =
                std::make_unique<AacSession>(param->samplesPerSec, param->channels, *samplingIndex);
            param->input = session->Input();
            param->output = session->Output();
            param->samplesPerCall = session->SamplesPerCall();
            param->reserved = session.release();
            return 1;
        },
        0);
}

int AACEncoderEncode(AACEncoderParam* param) {
    return EncodeRecord<AacSession>(param);
}

int AACEncoderClose(AACEncoderParam* param) {
    return CloseRecord<AacSession>(param, ClearOutputs);
}

int AACEncoderPrimingSamples(const AACEncoderParam* param) {
    const AacSession* session = SessionOf<AacSession>(param);
    return session != nullptr ? session->PrimingSamples() : 0;
}

}  // extern "C"

}  // namespace ocelix
