// Sound capture over ALSA: one PCM opened for capture, interleaved, with a buffer of whole
// periods; data is read with snd_pcm_readi in whole periods. The waiting thread polls the PCM's
// descriptors together with an eventfd, so that Wake can end a wait from another thread.
#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

#include "capture/audio_capture_device.h"
#include "capture/audio_device_list.h"

namespace capture {
namespace {

struct FreeDeleter {
    void operator()(char* text) const { std::free(text); }
};
using HintText = std::unique_ptr<char, FreeDeleter>;

struct HwParamsDeleter {
    void operator()(snd_pcm_hw_params_t* params) const { snd_pcm_hw_params_free(params); }
};
struct SwParamsDeleter {
    void operator()(snd_pcm_sw_params_t* params) const { snd_pcm_sw_params_free(params); }
};

class AlsaCaptureDevice final : public AudioCaptureDevice {
  public:
    AlsaCaptureDevice() : wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~AlsaCaptureDevice() override {
        Close();
        if (wakeFd_ >= 0) {
            ::close(wakeFd_);
        }
    }
    AlsaCaptureDevice(const AlsaCaptureDevice&) = delete;
    AlsaCaptureDevice& operator=(const AlsaCaptureDevice&) = delete;

    bool Open(const std::string& name) override {
        Close();
        if (snd_pcm_open(&pcm_, name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK) < 0) {
            pcm_ = nullptr;
            return false;
        }
        return true;
    }

    bool Configure(const AudioFormat& format, uint32_t periodBytes, uint32_t periodCount) override {
        if (pcm_ == nullptr || format.channels <= 0 || format.samplesPerSec <= 0) {
            return false;
        }
        snd_pcm_format_t sampleFormat = SND_PCM_FORMAT_UNKNOWN;
        if (format.bitsPerSample == 16) {
            sampleFormat = SND_PCM_FORMAT_S16_LE;
        } else if (format.bitsPerSample == 8) {
            sampleFormat = SND_PCM_FORMAT_U8;
        } else {
            return false;
        }
        const uint32_t frameBytes = static_cast<uint32_t>(format.BlockAlign());
        if (frameBytes == 0 || periodBytes == 0 || periodBytes % frameBytes != 0 ||
            periodCount == 0) {
            return false;
        }
        snd_pcm_drop(pcm_);
        snd_pcm_hw_params_t* rawHw = nullptr;
        if (snd_pcm_hw_params_malloc(&rawHw) < 0) {
            return false;
        }
        std::unique_ptr<snd_pcm_hw_params_t, HwParamsDeleter> hw(rawHw);
        snd_pcm_uframes_t periodFrames = periodBytes / frameBytes;
        snd_pcm_uframes_t bufferFrames = periodFrames * periodCount;
        if (snd_pcm_hw_params_any(pcm_, hw.get()) < 0 ||
            snd_pcm_hw_params_set_access(pcm_, hw.get(), SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
            snd_pcm_hw_params_set_format(pcm_, hw.get(), sampleFormat) < 0 ||
            snd_pcm_hw_params_set_channels(pcm_, hw.get(), static_cast<unsigned>(format.channels)) <
                0 ||
            snd_pcm_hw_params_set_rate_resample(pcm_, hw.get(), 1) < 0 ||
            snd_pcm_hw_params_set_rate(pcm_, hw.get(), static_cast<unsigned>(format.samplesPerSec),
                                       0) < 0) {
            return false;
        }
        int dir = 0;
        if (snd_pcm_hw_params_set_period_size_near(pcm_, hw.get(), &periodFrames, &dir) < 0 ||
            snd_pcm_hw_params_set_buffer_size_near(pcm_, hw.get(), &bufferFrames) < 0 ||
            snd_pcm_hw_params(pcm_, hw.get()) < 0) {
            return false;
        }
        snd_pcm_sw_params_t* rawSw = nullptr;
        if (snd_pcm_sw_params_malloc(&rawSw) < 0) {
            return false;
        }
        std::unique_ptr<snd_pcm_sw_params_t, SwParamsDeleter> sw(rawSw);
        // A wake-up when one of our blocks is complete, whatever period the device chose.
        const snd_pcm_uframes_t blockFrames = periodBytes / frameBytes;
        if (snd_pcm_sw_params_current(pcm_, sw.get()) < 0 ||
            snd_pcm_sw_params_set_avail_min(pcm_, sw.get(), std::min(blockFrames, bufferFrames)) <
                0 ||
            snd_pcm_sw_params(pcm_, sw.get()) < 0) {
            return false;
        }
        frameBytes_ = frameBytes;
        readUnitFrames_ = blockFrames;
        return snd_pcm_prepare(pcm_) >= 0;
    }

    bool Start() override {
        if (pcm_ == nullptr || readUnitFrames_ == 0) {
            return false;
        }
        return snd_pcm_start(pcm_) >= 0;
    }

    WaitResult Wait(int timeoutMs) override {
        if (pcm_ == nullptr) {
            return WaitResult::kError;
        }
        const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm_);
        if (avail < 0) {
            return Recover(static_cast<int>(avail)) ? WaitResult::kReady : WaitResult::kError;
        }
        if (static_cast<snd_pcm_uframes_t>(avail) >= readUnitFrames_) {
            return WaitResult::kReady;
        }
        const int count = snd_pcm_poll_descriptors_count(pcm_);
        if (count <= 0) {
            return WaitResult::kError;
        }
        std::vector<pollfd> fds(static_cast<size_t>(count) + 1);
        if (snd_pcm_poll_descriptors(pcm_, fds.data(), static_cast<unsigned>(count)) != count) {
            return WaitResult::kError;
        }
        fds[static_cast<size_t>(count)] = pollfd{wakeFd_, POLLIN, 0};
        const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
        if (ready < 0) {
            return errno == EINTR ? WaitResult::kTimeout : WaitResult::kError;
        }
        if (ready == 0) {
            return WaitResult::kTimeout;
        }
        if ((fds[static_cast<size_t>(count)].revents & POLLIN) != 0) {
            eventfd_t value = 0;
            eventfd_read(wakeFd_, &value);
            return WaitResult::kWoken;
        }
        unsigned short revents = 0;
        if (snd_pcm_poll_descriptors_revents(pcm_, fds.data(), static_cast<unsigned>(count),
                                             &revents) < 0) {
            return WaitResult::kError;
        }
        if ((revents & POLLERR) != 0) {
            const snd_pcm_sframes_t state = snd_pcm_avail_update(pcm_);
            if (state < 0 && !Recover(static_cast<int>(state))) {
                return WaitResult::kError;
            }
            return WaitResult::kReady;
        }
        return (revents & POLLIN) != 0 ? WaitResult::kReady : WaitResult::kTimeout;
    }

    void Wake() override {
        if (wakeFd_ >= 0) {
            eventfd_write(wakeFd_, 1);
        }
    }

    int64_t Read(uint8_t* dest, uint32_t maxBytes) override {
        if (pcm_ == nullptr || frameBytes_ == 0) {
            return -1;
        }
        const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm_);
        if (avail < 0) {
            return Recover(static_cast<int>(avail)) ? 0 : -1;
        }
        snd_pcm_uframes_t frames = std::min(static_cast<snd_pcm_uframes_t>(avail),
                                            snd_pcm_uframes_t{maxBytes / frameBytes_});
        frames = frames / readUnitFrames_ * readUnitFrames_;
        if (frames == 0) {
            return 0;
        }
        const snd_pcm_sframes_t got = snd_pcm_readi(pcm_, dest, frames);
        if (got == -EAGAIN) {
            return 0;
        }
        if (got < 0) {
            return Recover(static_cast<int>(got)) ? 0 : -1;
        }
        return static_cast<int64_t>(got) * frameBytes_;
    }

    bool Stop() override { return pcm_ != nullptr && snd_pcm_drop(pcm_) >= 0; }

    void Close() override {
        if (pcm_ != nullptr) {
            snd_pcm_close(pcm_);
            pcm_ = nullptr;
        }
        frameBytes_ = 0;
        readUnitFrames_ = 0;
    }

  private:
    // After an overrun or a suspend: prepare the PCM again and restart the capture.
    bool Recover(int error) {
        if (snd_pcm_recover(pcm_, error, 1) < 0) {
            return false;
        }
        return snd_pcm_start(pcm_) >= 0;
    }

    int wakeFd_ = -1;
    snd_pcm_t* pcm_ = nullptr;
    uint32_t frameBytes_ = 0;
    snd_pcm_uframes_t readUnitFrames_ = 0;
};

}  // namespace

std::unique_ptr<AudioCaptureDevice> MakeSystemCaptureDevice() {
    return std::make_unique<AlsaCaptureDevice>();
}

std::vector<AudioDeviceEntry> EnumerateCaptureDevices() {
    std::vector<AudioPcmHint> hints;
    void** raw = nullptr;
    if (snd_device_name_hint(-1, "pcm", &raw) >= 0 && raw != nullptr) {
        for (void** hint = raw; *hint != nullptr; ++hint) {
            HintText name(snd_device_name_get_hint(*hint, "NAME"));
            HintText description(snd_device_name_get_hint(*hint, "DESC"));
            HintText ioid(snd_device_name_get_hint(*hint, "IOID"));
            if (name == nullptr) {
                continue;
            }
            AudioPcmHint entry;
            entry.name = name.get();
            if (description != nullptr) {
                entry.description = description.get();
            }
            if (ioid != nullptr) {
                entry.ioid = std::string(ioid.get());
            }
            hints.push_back(std::move(entry));
        }
        snd_device_name_free_hint(raw);
    }
    return BuildAudioDeviceList(hints);
}

}  // namespace capture
