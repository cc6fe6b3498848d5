// An ALSA capture PCM that delivers a sine tone at the pace of the monotonic clock, for tests
// and the local demo on machines without a sound card. It is an external I/O plugin: the
// hardware position is the number of frames the clock says have been "recorded" since the
// start, and a timerfd is the poll descriptor, armed for the moment the reader's minimum of
// available frames (avail_min) is reached.
//
// Configuration:
//   pcm_type.tutorlane_tone { lib "/path/libasound_module_pcm_tutorlane_tone.so" }
//   pcm.tone { type tutorlane_tone frequency 1000 amplitude 8000 }
// frequency is in Hz (default 440), amplitude the peak sample value (default 8000, at most
// 32767; 0 delivers silence, as a muted microphone does). Capture only; interleaved signed 16-bit
// little-endian, 1 or 2 channels (both carry the same sample), 8000..96000 Hz.
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>

namespace {

constexpr double kTwoPi = 6.283185307179586476925286766559;
constexpr int64_t kNanosPerSecond = 1000000000;

struct Timespec {
    int64_t sec = 0;
    int64_t nsec = 0;
};

Timespec Now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return Timespec{now.tv_sec, now.tv_nsec};
}

class TonePcm {
  public:
    TonePcm(double frequencyHz, double amplitude)
        : timerFd_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)),
          frequencyHz_(frequencyHz),
          amplitude_(amplitude) {}
    ~TonePcm() {
        if (timerFd_ >= 0) {
            ::close(timerFd_);
        }
    }
    TonePcm(const TonePcm&) = delete;
    TonePcm& operator=(const TonePcm&) = delete;

    snd_pcm_ioplug_t io{};

    int TimerFd() const { return timerFd_; }

    int Start() {
        std::lock_guard<std::mutex> lock(mutex_);
        start_ = Now();
        taken_ = 0;
        stoppedAt_ = 0;
        running_ = true;
        ArmLocked();
        return 0;
    }

    int Stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (running_) {
            stoppedAt_ = ProducedLocked();
        }
        running_ = false;
        ArmLocked();
        return 0;
    }

    int Prepare() {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        taken_ = 0;
        stoppedAt_ = 0;
        ArmLocked();
        return 0;
    }

    void SetAvailMin(snd_pcm_uframes_t frames) {
        std::lock_guard<std::mutex> lock(mutex_);
        availMin_ = frames == 0 ? 1 : frames;
        ArmLocked();
    }

    // Position of the capture in the ring buffer, or -EPIPE once the reader fell a whole
    // buffer behind (an overrun).
    snd_pcm_sframes_t Pointer() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (io.buffer_size == 0) {
            return 0;
        }
        const uint64_t produced = running_ ? ProducedLocked() : stoppedAt_;
        if (running_ && OverrunLocked(produced)) {
            return -EPIPE;
        }
        return static_cast<snd_pcm_sframes_t>(produced % io.buffer_size);
    }

    snd_pcm_sframes_t Transfer(const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset,
                               snd_pcm_uframes_t size) {
        std::lock_guard<std::mutex> lock(mutex_);
        const double step = kTwoPi * frequencyHz_ / static_cast<double>(io.rate);
        for (snd_pcm_uframes_t i = 0; i < size; ++i) {
            const auto sample = static_cast<int16_t>(std::lround(amplitude_ * std::sin(phase_)));
            const auto bits = static_cast<uint16_t>(sample);
            for (unsigned channel = 0; channel < io.channels; ++channel) {
                const snd_pcm_channel_area_t& area = areas[channel];
                auto* at =
                    static_cast<uint8_t*>(area.addr) + (area.first + area.step * (offset + i)) / 8;
                at[0] = static_cast<uint8_t>(bits & 0xFF);
                at[1] = static_cast<uint8_t>(bits >> 8);
            }
            phase_ += step;
            if (phase_ >= kTwoPi) {
                phase_ -= kTwoPi;
            }
        }
        taken_ += size;
        ArmLocked();
        return static_cast<snd_pcm_sframes_t>(size);
    }

    // Readable while avail_min frames wait (level-triggered: the timer stays expired until a
    // read moves the reader on); an error after an overrun. While draining, the capture ends
    // when the buffer is full, so the wake-up is for that moment.
    int PollRevents(unsigned short* revents) {
        std::lock_guard<std::mutex> lock(mutex_);
        *revents = 0;
        if (io.state == SND_PCM_STATE_XRUN) {
            *revents = POLLERR;
            return 0;
        }
        if (!running_) {
            return 0;
        }
        const uint64_t produced = ProducedLocked();
        if (OverrunLocked(produced)) {
            snd_pcm_ioplug_set_state(&io, SND_PCM_STATE_XRUN);
            *revents = POLLERR;
            return 0;
        }
        const bool draining = io.state == SND_PCM_STATE_DRAINING;
        const uint64_t wanted = draining ? io.buffer_size : availMin_;
        if (produced - taken_ >= wanted) {
            *revents = POLLIN;
            return 0;
        }
        ArmLocked(wanted);
        return 0;
    }

  private:
    // Frames the clock has produced since the start.
    uint64_t ProducedLocked() const {
        const Timespec now = Now();
        int64_t sec = now.sec - start_.sec;
        int64_t nsec = now.nsec - start_.nsec;
        if (nsec < 0) {
            nsec += kNanosPerSecond;
            --sec;
        }
        if (sec < 0) {
            return 0;
        }
        const auto rate = static_cast<uint64_t>(io.rate);
        return static_cast<uint64_t>(sec) * rate +
               static_cast<uint64_t>(nsec) * rate / static_cast<uint64_t>(kNanosPerSecond);
    }

    bool OverrunLocked(uint64_t produced) const {
        return produced >= taken_ && produced - taken_ >= io.buffer_size;
    }

    // Points the timer at the moment `wanted` frames wait (avail_min unless given), or stops
    // it when not capturing. Setting the timer also clears an expiry not yet read.
    void ArmLocked(uint64_t wanted = 0) {
        itimerspec when{};
        if (running_ && io.rate > 0) {
            const uint64_t target = taken_ + (wanted == 0 ? availMin_ : wanted);
            const auto rate = static_cast<uint64_t>(io.rate);
            const uint64_t wholeSeconds = target / rate;
            const uint64_t rest = target % rate;
            const uint64_t restNanos =
                (rest * static_cast<uint64_t>(kNanosPerSecond) + rate - 1) / rate;
            int64_t sec = start_.sec + static_cast<int64_t>(wholeSeconds);
            int64_t nsec = start_.nsec + static_cast<int64_t>(restNanos);
            if (nsec >= kNanosPerSecond) {
                nsec -= kNanosPerSecond;
                ++sec;
            }
            when.it_value.tv_sec = static_cast<time_t>(sec);
            when.it_value.tv_nsec = static_cast<long>(nsec);
            if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) {
                when.it_value.tv_nsec = 1;  // zero would disarm the timer
            }
        }
        timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &when, nullptr);
    }

    std::mutex mutex_;
    int timerFd_ = -1;
    double frequencyHz_;
    double amplitude_;
    double phase_ = 0;
    bool running_ = false;
    Timespec start_;
    uint64_t taken_ = 0;      // frames handed to the reader since the start
    uint64_t stoppedAt_ = 0;  // frames produced when the capture stopped
    snd_pcm_uframes_t availMin_ = 1;
};

TonePcm* Of(snd_pcm_ioplug_t* io) {
    return static_cast<TonePcm*>(io->private_data);
}

int ToneStart(snd_pcm_ioplug_t* io) {
    return Of(io)->Start();
}

int ToneStop(snd_pcm_ioplug_t* io) {
    return Of(io)->Stop();
}

snd_pcm_sframes_t TonePointer(snd_pcm_ioplug_t* io) {
    return Of(io)->Pointer();
}

snd_pcm_sframes_t ToneTransfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                               snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
    return Of(io)->Transfer(areas, offset, size);
}

int ToneClose(snd_pcm_ioplug_t* io) {
    // Owned since the open succeeded; released here, once.
    std::unique_ptr<TonePcm> owned(Of(io));
    io->private_data = nullptr;
    return 0;
}

int ToneHwParams(snd_pcm_ioplug_t* io, snd_pcm_hw_params_t* /*params*/) {
    Of(io)->SetAvailMin(io->period_size);
    return 0;
}

int ToneSwParams(snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params) {
    snd_pcm_uframes_t availMin = 0;
    const int err = snd_pcm_sw_params_get_avail_min(params, &availMin);
    if (err < 0) {
        return err;
    }
    Of(io)->SetAvailMin(availMin);
    return 0;
}

int TonePrepare(snd_pcm_ioplug_t* io) {
    return Of(io)->Prepare();
}

int TonePollRevents(snd_pcm_ioplug_t* io, pollfd* /*fds*/, unsigned int /*count*/,
                    unsigned short* revents) {
    return Of(io)->PollRevents(revents);
}

const snd_pcm_ioplug_callback_t kToneCallbacks = [] {
    snd_pcm_ioplug_callback_t callbacks{};
    callbacks.start = ToneStart;
    callbacks.stop = ToneStop;
    callbacks.pointer = TonePointer;
    callbacks.transfer = ToneTransfer;
    callbacks.close = ToneClose;
    callbacks.hw_params = ToneHwParams;
    callbacks.sw_params = ToneSwParams;
    callbacks.prepare = TonePrepare;
    callbacks.poll_revents = TonePollRevents;
    return callbacks;
}();

int SetConstraints(snd_pcm_ioplug_t* io) {
    static const unsigned int kAccess[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
    static const unsigned int kFormats[] = {SND_PCM_FORMAT_S16_LE};
    int err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, 1, kAccess);
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, 1, kFormats);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, 1, 2);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, 8000, 96000);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 64, 256 * 1024);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, 2, 1024);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, 128,
                                              4 * 1024 * 1024);
    }
    return err;
}

// Reads frequency and amplitude from the PCM's definition; -EINVAL on anything else.
int ReadSettings(snd_config_t* conf, double* frequencyHz, double* amplitude) {
    snd_config_iterator_t i;
    snd_config_iterator_t next;
    snd_config_for_each(i, next, conf) {
        snd_config_t* node = snd_config_iterator_entry(i);
        const char* id = nullptr;
        if (snd_config_get_id(node, &id) < 0 || id == nullptr) {
            continue;
        }
        const std::string_view key(id);
        if (key == "comment" || key == "type" || key == "hint") {
            continue;
        }
        double value = 0;
        if (key == "frequency" || key == "amplitude") {
            if (snd_config_get_ireal(node, &value) < 0) {
                SNDERR("tutorlane_tone: %s must be a number", id);
                return -EINVAL;
            }
            if (key == "frequency") {
                if (!(value > 0 && value < 1e6)) {
                    SNDERR("tutorlane_tone: frequency %g is out of range", value);
                    return -EINVAL;
                }
                *frequencyHz = value;
            } else {
                if (!(value >= 0 && value <= 32767)) {
                    SNDERR("tutorlane_tone: amplitude %g is out of range 0..32767", value);
                    return -EINVAL;
                }
                *amplitude = value;
            }
            continue;
        }
        SNDERR("tutorlane_tone: unknown field %s", id);
        return -EINVAL;
    }
    return 0;
}

int OpenTone(snd_pcm_t** pcmp, const char* name, snd_config_t* conf, snd_pcm_stream_t stream,
             int mode) {
    if (stream != SND_PCM_STREAM_CAPTURE) {
        SNDERR("tutorlane_tone: capture only");
        return -EINVAL;
    }
    double frequencyHz = 440;
    double amplitude = 8000;
    int err = ReadSettings(conf, &frequencyHz, &amplitude);
    if (err < 0) {
        return err;
    }
    auto tone = std::make_unique<TonePcm>(frequencyHz, amplitude);
    if (tone->TimerFd() < 0) {
        return -errno;
    }
    snd_pcm_ioplug_t& io = tone->io;
    io.version = SND_PCM_IOPLUG_VERSION;
    io.name = "Tutorlane test tone";
    io.flags = SND_PCM_IOPLUG_FLAG_MONOTONIC;
    io.poll_fd = tone->TimerFd();
    io.poll_events = POLLIN;
    io.mmap_rw = 0;
    io.callback = &kToneCallbacks;
    io.private_data = tone.get();
    err = snd_pcm_ioplug_create(&io, name, stream, mode);
    if (err < 0) {
        return err;
    }
    // From here the close callback owns the object, also when the PCM is deleted below.
    TonePcm* const owned = tone.release();
    err = SetConstraints(&owned->io);
    if (err < 0) {
        snd_pcm_ioplug_delete(&owned->io);
        return err;
    }
    *pcmp = owned->io.pcm;
    return 0;
}

}  // namespace

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(tutorlane_tone) {
    (void)root;
    try {
        return OpenTone(pcmp, name, conf, stream, mode);
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    } catch (...) {
        return -EIO;
    }
}

SND_PCM_PLUGIN_SYMBOL(tutorlane_tone)

}  // extern "C"
