#include "codecs/h264_encoder.h"

#include <x264.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <vector>

#include "basis/annexb.h"
#include "basis/c_edge.h"
#include "codecs/bgr_to_i420.h"
#include "codecs/component_record.h"

namespace ocelix {
namespace {

// Encoder settings. "veryfast" with the "zerolatency" tune: no lookahead (rc and sync lookahead
// 0) and no B-frames, so a single encoder thread returns each picture from the call it was given
// in. zerolatency also asks for sliced threads, which split every picture into one slice per
// thread; pictures stay whole here (one slice each), so more threads can only be frame threads,
// each of which delays the output by one picture.
//
// One thread encodes 1280x720 well within the 40 ms of a 25 fps frame. A full-screen change at
// 1920x1080 takes a single thread about as long as a frame lasts, so pictures larger than 720p
// get two frame threads: two pictures are encoded at once, on both cores, and each encode call
// returns the picture of the call before (one frame of added latency, never more).
constexpr const char* kPreset = "veryfast";
constexpr const char* kTune = "zerolatency";
constexpr const char* kProfile = "high";
constexpr int kLevelIdc = 40;
constexpr int kSingleThreadMaxPixels = 1280 * 720;
constexpr int kLargePictureFrameThreads = 2;
constexpr int kDefaultCrf = 23;
constexpr int kMinCrf = 1;
constexpr int kMaxCrf = 51;
constexpr int kMaxDimension = 8192;
constexpr int kMaxFrameRate = 1000;
constexpr int kBytesPerPixel = 3;
constexpr int kColourBt601 = 6;  // smpte170m primaries, transfer and matrix

bool ValidInput(const H264EncoderParam& p) {
    return p.width > 1 && p.height > 1 && p.width <= kMaxDimension && p.height <= kMaxDimension &&
           p.inputFormat == kInputFormatBgr24BottomUp && p.frameRate > 0 &&
           p.frameRate <= kMaxFrameRate;
}

x264_param_t MakeX264Param(const H264EncoderParam& p, int width, int height) {
    x264_param_t x;
    if (x264_param_default_preset(&x, kPreset, kTune) < 0) {
        throw std::runtime_error("x264 preset rejected");
    }
    x.i_log_level = X264_LOG_ERROR;
    x.i_threads = width * height > kSingleThreadMaxPixels ? kLargePictureFrameThreads : 1;
    x.i_lookahead_threads = 1;
    x.b_sliced_threads = 0;  // zerolatency turns it on; it would split pictures into slices
    x.i_sync_lookahead = 0;  // frame threads would otherwise buffer pictures for the lookahead
    x.rc.i_lookahead = 0;
    x.i_slice_count = 1;
    x.i_slice_max_size = 0;
    x.i_slice_max_mbs = 0;
    x.i_bframe = 0;
    x.b_intra_refresh = 0;

    x.i_width = width;
    x.i_height = height;
    x.i_csp = X264_CSP_I420;
    x.vui.b_fullrange = 0;
    x.vui.i_colorprim = kColourBt601;
    x.vui.i_transfer = kColourBt601;
    x.vui.i_colmatrix = kColourBt601;

    x.i_fps_num = static_cast<uint32_t>(p.frameRate);
    x.i_fps_den = 1;
    x.i_timebase_num = 1;
    x.i_timebase_den = static_cast<uint32_t>(p.frameRate);
    x.b_vfr_input = 0;

    const int keyInterval = p.interval > 0 ? p.interval : 2 * p.frameRate;
    x.i_keyint_max = keyInterval;
    x.i_keyint_min = keyInterval;
    x.i_scenecut_threshold = 0;  // key frames only at the interval or on request
    x.b_open_gop = 0;

    if (p.rateControl == kRateControlAverageBitrate && p.bitrate > 0) {
        x.rc.i_rc_method = X264_RC_ABR;
        x.rc.i_bitrate = p.bitrate;
        x.rc.i_vbv_max_bitrate = p.bitrate;
        x.rc.i_vbv_buffer_size = p.bitrate;  // one second
    } else {
        x.rc.i_rc_method = X264_RC_CRF;
        const int crf = (p.quality >= kMinCrf && p.quality <= kMaxCrf) ? p.quality : kDefaultCrf;
        x.rc.f_rf_constant = static_cast<float>(crf);
    }

    x.b_annexb = 1;
    x.b_repeat_headers = 1;
    x.b_aud = 0;

    if (x264_param_apply_profile(&x, kProfile) < 0) {
        throw std::runtime_error("x264 profile rejected");
    }
    x.i_level_idc = kLevelIdc;
    return x;
}

// One open encoder: the caller's frame buffer, the colour converter, x264 and the output buffer.
class H264Session {
  public:
    explicit H264Session(const H264EncoderParam& p)
        : frame_(static_cast<std::size_t>(p.width) * p.height * kBytesPerPixel, 0),
          rows_(p.height),
          converter_(p.width & ~1, p.height & ~1, p.width * kBytesPerPixel) {
        x264_param_t x = MakeX264Param(p, converter_.Width(), converter_.Height());
        encoder_.reset(x264_encoder_open(&x));
        if (!encoder_) {
            throw std::runtime_error("x264_encoder_open failed");
        }
        output_.reserve(frame_.size() / 4 + 1024);
    }

    uint8_t* Frame() { return frame_.data(); }
    int FrameSize() const { return static_cast<int>(frame_.size()); }
    uint8_t* Output() { return output_.data(); }
    int OutputLength() const { return static_cast<int>(output_.size()); }

    void RequestKeyFrame() { keyFrameRequested_.store(true, std::memory_order_relaxed); }

    // Converts and encodes the frame buffer; the access unit lands in output_. False on failure.
    bool Encode() { return EncodeFrame(frame_.data()); }

    // Converts `frame` (rows as the frame buffer's) and encodes it; a null frame encodes the
    // picture converted last time again, without converting it anew.
    bool EncodeFrame(const uint8_t* frame) {
        output_.clear();
        if (frame != nullptr || !converted_) {
            converter_.Convert(frame != nullptr ? frame : frame_.data(), rows_);
            converted_ = true;
        }

        x264_picture_t picture;
        x264_picture_init(&picture);
        picture.img.i_csp = X264_CSP_I420;
        picture.img.i_plane = 3;
        for (int i = 0; i < 3; ++i) {
            picture.img.plane[i] = converter_.Plane(i);
            picture.img.i_stride[i] = converter_.Stride(i);
        }
        picture.i_pts = nextPts_++;
        picture.i_type = keyFrameRequested_.exchange(false, std::memory_order_relaxed)
                             ? X264_TYPE_IDR
                             : X264_TYPE_AUTO;

        x264_nal_t* nals = nullptr;
        int nalCount = 0;
        x264_picture_t encoded;
        const int bytes = x264_encoder_encode(encoder_.get(), &nals, &nalCount, &picture, &encoded);
        if (bytes < 0) {
            return false;
        }
        AppendWithLongStartCodes(nals, nalCount);
        return true;
    }

    // A new average bit rate (kbit/s) from the next picture on; only in bit-rate mode.
    bool SetBitrate(int kbps) {
        x264_param_t x;
        x264_encoder_parameters(encoder_.get(), &x);
        if (x.rc.i_rc_method != X264_RC_ABR || kbps <= 0) {
            return false;
        }
        x.rc.i_bitrate = kbps;
        x.rc.i_vbv_max_bitrate = kbps;
        x.rc.i_vbv_buffer_size = kbps;
        return x264_encoder_reconfig(encoder_.get(), &x) == 0;
    }

  private:
    struct X264Deleter {
        void operator()(x264_t* encoder) const { x264_encoder_close(encoder); }
    };

    // Copies the NAL units into output_, each behind a 4-byte start code: x264 may give 3-byte
    // start codes to units that do not begin an access unit.
    void AppendWithLongStartCodes(const x264_nal_t* nals, int count) {
        static constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
        for (int i = 0; i < count; ++i) {
            const uint8_t* data = nals[i].p_payload;
            std::size_t size =
                nals[i].i_payload > 0 ? static_cast<std::size_t>(nals[i].i_payload) : 0;
            const std::size_t code = basis::StartCodeLength({data, size});
            data += code;
            size -= code;
            if (size == 0) {
                continue;
            }
            output_.insert(output_.end(), kStartCode, kStartCode + 4);
            output_.insert(output_.end(), data, data + size);
        }
    }

    std::vector<uint8_t> frame_;
    int rows_;
    BgrToI420 converter_;
    std::unique_ptr<x264_t, X264Deleter> encoder_;
    std::vector<uint8_t> output_;
    int64_t nextPts_ = 0;
    bool converted_ = false;
    std::atomic<bool> keyFrameRequested_{false};
};

void ClearOutputs(H264EncoderParam* param) {
    param->outputLength = 0;
    param->inputFrameSize = 0;
    param->inputFrame = nullptr;
    param->output = nullptr;
    param->reserved = nullptr;
}

}  // namespace

extern "C" {

int H264EncoderOpen(H264EncoderParam* param) {
    if (param == nullptr) {
        return 0;
    }
    H264EncoderClose(param);
    ClearOutputs(param);
    if (!ValidInput(*param)) {
        return 0;
    }
    // The record is described only once the session exists: when making it throws, the output
    // fields stay as cleared above.
    return basis::CallAtCEdge(
        [param] {
            auto session = std::make_unique<H264Session>(*param);
            param->inputFrameSize = session->FrameSize();
            param->inputFrame = session->Frame();
            param->output = session->Output();
            param->reserved = session.release();
            return 1;
        },
        0);
}

int H264EncoderEncode(H264EncoderParam* param) {
    return EncodeRecord<H264Session>(param);
}

int H264EncoderClose(H264EncoderParam* param) {
    return CloseRecord<H264Session>(param, ClearOutputs);
}

int H264EncoderEncodeFrame(H264EncoderParam* param, const uint8_t* frame) {
    return EncodeRecord<H264Session>(
        param, [frame](H264Session& session) { return session.EncodeFrame(frame); });
}

int H264EncoderSetBitrate(H264EncoderParam* param, int kbps) {
    H264Session* session = SessionOf<H264Session>(param);
    if (session == nullptr || !session->SetBitrate(kbps)) {
        return 0;
    }
    param->bitrate = kbps;
    return 1;
}

void H264EncoderRequestKeyFrame(H264EncoderParam* param) {
    H264Session* session = SessionOf<H264Session>(param);
    if (session != nullptr) {
        session->RequestKeyFrame();
    }
}

}  // extern "C"

}  // namespace ocelix
