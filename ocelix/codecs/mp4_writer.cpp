#include "codecs/mp4_writer.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "basis/adts.h"
#include "basis/annexb.h"

namespace ocelix {
namespace {

constexpr int kAacFrameSamples = 1024;
constexpr int kIoBufferSize = 64 * 1024;
// Longest a fragment lasts, in microseconds and in milliseconds.
constexpr char kFragmentDuration[] = "1000000";
constexpr int64_t kFragmentMs = 1000;
// Fragments start at each key frame and after a second; the header holds no samples and goes
// out with the first fragment, when each track's start is known (sound may begin after the
// picture); the fragments' data offsets count from their own start, as browsers want them.
// A track whose first sample comes after the header was written (sound that started late)
// starts at its own time (frag_discont), not at 0.
constexpr char kMovFlags[] = "frag_keyframe+empty_moov+delay_moov+default_base_moof+frag_discont";
// Audio kept while waiting for the first key frame: a few seconds at 48 kHz.
constexpr size_t kMaxHeldAudio = 256;

struct AdtsFields {
    int objectType = 0;
    int samplingIndex = 0;
    int channels = 0;
    size_t headerSize = 0;
};

// The fields of a well-formed ADTS header describing exactly this one frame, or nullopt.
std::optional<AdtsFields> ParseAdts(std::span<const uint8_t> f) {
    if (f.size() < basis::kAdtsHeaderSize || f[0] != 0xFF || (f[1] & 0xF6) != 0xF0)
        return std::nullopt;
    AdtsFields a;
    a.headerSize = (f[1] & 0x01) != 0 ? basis::kAdtsHeaderSize : basis::kAdtsHeaderSize + 2;
    a.objectType = ((f[2] >> 6) & 0x03) + 1;
    a.samplingIndex = (f[2] >> 2) & 0x0F;
    a.channels = ((f[2] & 0x01) << 2) | (f[3] >> 6);
    const bool oneBlock = (f[6] & 0x03) == 0;
    if (!oneBlock || basis::AdtsFrameSize(f.data()) != f.size() || f.size() <= a.headerSize)
        return std::nullopt;
    return a;
}

// The SPS and PPS of an access unit, each behind a 4-byte start code (the form the MP4 muxer
// turns into its decoder configuration); empty when either is missing.
std::vector<uint8_t> ParameterSets(std::span<const uint8_t> au) {
    std::span<const uint8_t> sps, pps;
    size_t at = basis::FindStartCode(au);
    while (at < au.size()) {
        const size_t begin = at + 3;
        size_t next = basis::FindStartCode(au, begin);
        size_t end = next;
        // A 4-byte start code's leading zero belongs to it, not to this unit.
        while (end > begin && au[end - 1] == 0)
            --end;
        if (begin < end) {
            const auto unit = au.subspan(begin, end - begin);
            const int type = unit[0] & 0x1F;
            if (type == 7 && sps.empty())
                sps = unit;
            else if (type == 8 && pps.empty())
                pps = unit;
        }
        at = next;
    }
    if (sps.size() < 4 || pps.empty())
        return {};
    std::vector<uint8_t> config;
    for (const auto unit : {sps, pps}) {
        config.insert(config.end(), {0, 0, 0, 1});
        config.insert(config.end(), unit.begin(), unit.end());
    }
    return config;
}

bool SetExtradata(AVCodecParameters* par, std::span<const uint8_t> bytes) {
    par->extradata = static_cast<uint8_t*>(av_mallocz(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (par->extradata == nullptr)
        return false;
    std::memcpy(par->extradata, bytes.data(), bytes.size());
    par->extradata_size = static_cast<int>(bytes.size());
    return true;
}

}  // namespace

struct Mp4Writer::Muxer {
    AVFormatContext* format = nullptr;
    AVIOContext* io = nullptr;
    AVPacket* packet = nullptr;
    int videoStream = -1;
    int audioStream = -1;
    std::vector<uint8_t> written;  // bytes the muxer wrote, not handed out yet

    ~Muxer() {
        av_packet_free(&packet);
        if (io != nullptr)
            av_freep(&io->buffer);
        avio_context_free(&io);
        avformat_free_context(format);
    }

    static int Collect(void* opaque, uint8_t* data, int size) {
        auto* self = static_cast<Muxer*>(opaque);
        if (size > 0)
            self->written.insert(self->written.end(), data, data + size);
        return size;
    }
};

Mp4Writer::Mp4Writer(const Mp4Tracks& tracks, Output output)
    : tracks_(tracks), output_(std::move(output)) {}

Mp4Writer::~Mp4Writer() = default;

bool Mp4Writer::Fail() {
    failed_ = true;
    muxer_.reset();
    return false;
}

bool Mp4Writer::StartFile(int64_t originMs, std::vector<uint8_t> videoConfig) {
    auto m = std::make_unique<Muxer>();
    if (avformat_alloc_output_context2(&m->format, nullptr, "mp4", nullptr) < 0)
        return Fail();
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
    if (buffer == nullptr)
        return Fail();
    m->io =
        avio_alloc_context(buffer, kIoBufferSize, 1, m.get(), nullptr, &Muxer::Collect, nullptr);
    if (m->io == nullptr) {
        av_free(buffer);
        return Fail();
    }
    m->format->pb = m->io;
    m->format->flags |= AVFMT_FLAG_CUSTOM_IO;
    m->packet = av_packet_alloc();
    if (m->packet == nullptr)
        return Fail();

    if (tracks_.video) {
        AVStream* s = avformat_new_stream(m->format, nullptr);
        if (s == nullptr || !SetExtradata(s->codecpar, videoConfig))
            return Fail();
        s->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        s->codecpar->codec_id = AV_CODEC_ID_H264;
        s->codecpar->width = tracks_.width;
        s->codecpar->height = tracks_.height;
        s->time_base = AVRational{1, 1000};
        s->avg_frame_rate = AVRational{tracks_.frameRate, 1};
        m->videoStream = s->index;
    }
    if (tracks_.audio) {
        const auto index = basis::AdtsSamplingIndex(tracks_.sampleRate);
        AVStream* s = avformat_new_stream(m->format, nullptr);
        if (!index || s == nullptr)
            return Fail();
        const auto config =
            basis::AudioSpecificConfig(basis::kAacObjectTypeLc, *index, tracks_.channels);
        if (!SetExtradata(s->codecpar, config))
            return Fail();
        s->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
        s->codecpar->codec_id = AV_CODEC_ID_AAC;
        s->codecpar->sample_rate = tracks_.sampleRate;
        av_channel_layout_default(&s->codecpar->ch_layout, tracks_.channels);
        s->codecpar->frame_size = kAacFrameSamples;
        s->time_base = AVRational{1, tracks_.sampleRate};
        m->audioStream = s->index;
    }
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", kMovFlags, 0);
    av_dict_set(&options, "frag_duration", kFragmentDuration, 0);
    const int result = avformat_write_header(m->format, &options);
    av_dict_free(&options);
    if (result < 0)
        return Fail();
    muxer_ = std::move(m);
    started_ = true;
    originMs_ = originMs;
    return Emit();
}

bool Mp4Writer::Emit() {
    avio_flush(muxer_->io);
    if (muxer_->io->error < 0)
        return Fail();
    if (muxer_->written.empty())
        return true;
    headerOut_ = true;
    const bool ok = output_(muxer_->written);
    muxer_->written.clear();
    return ok ? true : Fail();
}

bool Mp4Writer::WritePacket(int stream, int64_t pts, int64_t duration, Pending& held) {
    Muxer& m = *muxer_;
    const bool key = held.key;
    AVPacket* p = m.packet;
    av_packet_unref(p);
    // Held with the padding libavcodec wants behind the bytes: no copy here.
    p->data = held.data.data();
    p->size = static_cast<int>(held.size);
    p->stream_index = stream;
    // The muxer chose each stream's time base at the header; ours are ms and samples.
    const AVRational ours =
        stream == m.videoStream ? AVRational{1, 1000} : AVRational{1, tracks_.sampleRate};
    const AVRational theirs = m.format->streams[stream]->time_base;
    p->pts = p->dts = av_rescale_q(pts, ours, theirs);
    p->duration = av_rescale_q(duration, ours, theirs);
    p->flags = key ? AV_PKT_FLAG_KEY : 0;
    p->time_base = theirs;
    const int result = av_write_frame(m.format, p);
    p->data = nullptr;
    p->size = 0;
    if (result < 0)
        return Fail();
    ++packetsWritten_;
    return Emit();
}

bool Mp4Writer::AddVideo(int64_t stampMs, bool key, std::span<const uint8_t> accessUnit) {
    if (failed_ || finished_)
        return false;
    if (!tracks_.video || basis::StartCodeLength(accessUnit) == 0 ||
        accessUnit.size() > static_cast<size_t>(INT32_MAX / 2)) {
        ++packetsSkipped_;
        return true;
    }
    if (!started_) {
        std::vector<uint8_t> config = key ? ParameterSets(accessUnit) : std::vector<uint8_t>{};
        if (config.empty()) {
            ++packetsSkipped_;
            return true;
        }
        if (!StartFile(stampMs, std::move(config)))
            return false;
        lastVideoPts_ = -1;
        std::deque<HeldAudio> held;
        held.swap(held_);
        // Written first: the muxer keeps the tracks apart, and this audio is not later than
        // what follows of its own kind.
        for (const HeldAudio& a : held) {
            if (a.stampMs >= stampMs && !WriteAudio(a.stampMs, a.raw))
                return false;
        }
    }
    const int64_t pts = stampMs - originMs_;
    if (pts <= lastVideoPts_) {
        ++packetsSkipped_;
        return true;
    }
    lastVideoPts_ = pts;
    const int64_t period = std::max(1, 1000 / std::max(1, tracks_.frameRate));
    if (!Queue(muxer_->videoStream, pts, period, key, accessUnit))
        return false;
    // The muxer holds the header (and with it every fragment) until each track has a sample.
    // Sound that has not come after a fragment's length of pictures (a microphone that never
    // started) must not hold back the file: the fragment goes out without it.
    if (!headerOut_ && !soundSeen_ && tracks_.audio && pts >= kFragmentMs) {
        if (av_write_frame(muxer_->format, nullptr) < 0)
            return Fail();
        return Emit();
    }
    return true;
}

bool Mp4Writer::AddAudio(int64_t stampMs, std::span<const uint8_t> adtsFrame) {
    if (failed_ || finished_)
        return false;
    const auto fields = ParseAdts(adtsFrame);
    if (!tracks_.audio || !fields || fields->objectType != basis::kAacObjectTypeLc ||
        basis::AdtsSampleRate(fields->samplingIndex) != tracks_.sampleRate ||
        fields->channels != tracks_.channels) {
        ++packetsSkipped_;
        return true;
    }
    const auto raw = adtsFrame.subspan(fields->headerSize);
    if (!started_ && tracks_.video) {
        if (held_.size() == kMaxHeldAudio)
            held_.pop_front();
        held_.push_back({stampMs, std::vector<uint8_t>(raw.begin(), raw.end())});
        return true;
    }
    if (!started_ && !StartFile(stampMs, {}))
        return false;
    if (stampMs < originMs_) {
        ++packetsSkipped_;
        return true;
    }
    return WriteAudio(stampMs, raw);
}

bool Mp4Writer::WriteAudio(int64_t stampMs, std::span<const uint8_t> raw) {
    // Frames follow each other sample by sample; their millisecond stamps only say where a
    // frame begins after a gap (or where the first one begins).
    const int64_t at = ((stampMs - originMs_) * tracks_.sampleRate + 500) / 1000;
    int64_t pts = at;
    if (lastAudioPts_ >= 0 &&
        std::llabs(at - (lastAudioPts_ + kAacFrameSamples)) < kAacFrameSamples)
        pts = lastAudioPts_ + kAacFrameSamples;
    if (pts <= lastAudioPts_) {
        ++packetsSkipped_;
        return true;
    }
    lastAudioPts_ = pts;
    soundSeen_ = true;
    return Queue(muxer_->audioStream, pts, kAacFrameSamples, true, raw);
}

bool Mp4Writer::Queue(int stream, int64_t pts, int64_t lastingAtMost, bool key,
                      std::span<const uint8_t> data) {
    Pending& held = stream == muxer_->videoStream ? pendingVideo_ : pendingAudio_;
    // The packet before lasts until this one: a gap stays where it was, even across the end of
    // a fragment (the muxer counts a fragment's start from the lengths before it).
    if (held.has && !WritePacket(stream, held.pts, pts - held.pts, held))
        return false;
    held.has = true;
    held.pts = pts;
    held.lastingAtMost = lastingAtMost;
    held.key = key;
    held.size = data.size();
    held.data.assign(data.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    std::copy(data.begin(), data.end(), held.data.begin());
    return true;
}

bool Mp4Writer::FlushPending() {
    for (auto [stream, held] : {std::pair(muxer_->videoStream, &pendingVideo_),
                                std::pair(muxer_->audioStream, &pendingAudio_)}) {
        if (held->has && !WritePacket(stream, held->pts, held->lastingAtMost, *held))
            return false;
        held->has = false;
    }
    return true;
}

bool Mp4Writer::Finish() {
    if (failed_ || finished_)
        return !failed_;
    finished_ = true;
    held_.clear();
    if (!started_)
        return true;
    if (!FlushPending())
        return false;
    if (av_write_trailer(muxer_->format) < 0)
        return Fail();
    const bool ok = Emit();
    muxer_.reset();
    return ok;
}

}  // namespace ocelix
