// Sound capture over WASAPI in shared mode: the endpoint's audio client is set up in the
// broadcast's PCM format (the audio engine converts from its own mix format) with a buffer of
// the looping buffer's length, and signals an event each time it has a packet. The waiting
// thread waits for that event or for a wake-up event of its own, so that Wake can end a wait
// from another thread. A packet larger than what the reader takes at once is kept for its next
// read, because a packet is released as a whole.
#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "basis/platform/wide_text.h"
#include "capture/audio_capture_device.h"
#include "capture/audio_device_list.h"
#include "capture/platform/com_apartment_win.h"

namespace capture {
namespace {

using Microsoft::WRL::ComPtr;

constexpr REFERENCE_TIME kHundredNanosPerSecond = 10000000;
// The device's own name as the sound settings show it (PKEY_Device_FriendlyName).
constexpr PROPERTYKEY kFriendlyName{
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};

class Event {
  public:
    Event() : handle_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~Event() {
        if (handle_ != nullptr)
            CloseHandle(handle_);
    }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    HANDLE Get() const { return handle_; }

  private:
    HANDLE handle_;
};

ComPtr<IMMDeviceEnumerator> DeviceEnumerator() {
    ComPtr<IMMDeviceEnumerator> enumerator;
    if (!EnterComponentSystem() || FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr,
                                                           CLSCTX_ALL, IID_PPV_ARGS(&enumerator))))
        return nullptr;
    return enumerator;
}

class WasapiCaptureDevice final : public AudioCaptureDevice {
  public:
    WasapiCaptureDevice() = default;
    ~WasapiCaptureDevice() override { Close(); }
    WasapiCaptureDevice(const WasapiCaptureDevice&) = delete;
    WasapiCaptureDevice& operator=(const WasapiCaptureDevice&) = delete;

    bool Open(const std::string& name) override {
        Close();
        const ComPtr<IMMDeviceEnumerator> enumerator = DeviceEnumerator();
        if (enumerator == nullptr)
            return false;
        const HRESULT found =
            name == kPrimaryCapturePcm
                ? enumerator->GetDefaultAudioEndpoint(eCapture, eConsole, &device_)
                : enumerator->GetDevice(basis::WideFromUtf8(name).c_str(), &device_);
        if (FAILED(found)) {
            device_.Reset();
            return false;
        }
        return Activate();
    }

    bool Configure(const AudioFormat& format, uint32_t periodBytes, uint32_t periodCount) override {
        if (device_ == nullptr || format.channels <= 0 || format.samplesPerSec <= 0 ||
            (format.bitsPerSample != 16 && format.bitsPerSample != 8))
            return false;
        const uint32_t frameBytes = static_cast<uint32_t>(format.BlockAlign());
        if (frameBytes == 0 || periodBytes == 0 || periodBytes % frameBytes != 0 ||
            periodCount == 0 || format.channels > 0xFFFF)
            return false;
        // An audio client is set up once: a new setup takes a new one.
        if (clientUsed_ && !Activate())
            return false;
        clientUsed_ = true;
        WAVEFORMATEX wave{};
        wave.wFormatTag = WAVE_FORMAT_PCM;
        wave.nChannels = static_cast<WORD>(format.channels);
        wave.nSamplesPerSec = static_cast<DWORD>(format.samplesPerSec);
        wave.nAvgBytesPerSec = static_cast<DWORD>(format.AvgBytesPerSec());
        wave.nBlockAlign = static_cast<WORD>(frameBytes);
        wave.wBitsPerSample = static_cast<WORD>(format.bitsPerSample);
        // The looping buffer's length in time.
        const REFERENCE_TIME duration =
            static_cast<REFERENCE_TIME>(kHundredNanosPerSecond * static_cast<int64_t>(periodBytes) *
                                        periodCount / static_cast<int64_t>(wave.nAvgBytesPerSec));
        const DWORD flags = AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM |
                            AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;
        if (FAILED(client_->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, duration, 0, &wave,
                                       nullptr)) ||
            FAILED(client_->SetEventHandle(packetReady_.Get())) ||
            FAILED(client_->GetService(IID_PPV_ARGS(&capture_)))) {
            capture_.Reset();
            return false;
        }
        frameBytes_ = frameBytes;
        pending_.clear();
        return true;
    }

    bool Start() override { return capture_ != nullptr && SUCCEEDED(client_->Start()); }

    WaitResult Wait(int timeoutMs) override {
        if (capture_ == nullptr || !EnterComponentSystem())
            return WaitResult::kError;
        UINT32 frames = 0;
        if (!pending_.empty())
            return WaitResult::kReady;
        if (FAILED(capture_->GetNextPacketSize(&frames)))
            return WaitResult::kError;
        if (frames > 0)
            return WaitResult::kReady;
        const HANDLE events[2] = {packetReady_.Get(), wake_.Get()};
        switch (
            WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(std::max(timeoutMs, 0)))) {
            case WAIT_OBJECT_0:
                return WaitResult::kReady;
            case WAIT_OBJECT_0 + 1:
                return WaitResult::kWoken;
            case WAIT_TIMEOUT:
                return WaitResult::kTimeout;
            default:
                return WaitResult::kError;
        }
    }

    void Wake() override { SetEvent(wake_.Get()); }

    int64_t Read(uint8_t* dest, uint32_t maxBytes) override {
        if (capture_ == nullptr || frameBytes_ == 0 || !EnterComponentSystem())
            return -1;
        uint32_t copied = TakePending(dest, maxBytes);
        while (copied < maxBytes) {
            UINT32 frames = 0;
            if (FAILED(capture_->GetNextPacketSize(&frames)))
                return -1;
            if (frames == 0)
                break;
            BYTE* data = nullptr;
            DWORD flags = 0;
            const HRESULT got = capture_->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
            if (got == AUDCLNT_S_BUFFER_EMPTY)
                break;
            if (FAILED(got))
                return -1;
            const size_t bytes = static_cast<size_t>(frames) * frameBytes_;
            // A silent packet's bytes are undefined: it is silence.
            const bool silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0;
            const size_t now = std::min<size_t>(bytes, maxBytes - copied);
            if (silent)
                std::memset(dest + copied, 0, now);
            else
                std::memcpy(dest + copied, data, now);
            if (now < bytes) {
                if (silent)
                    pending_.assign(bytes - now, 0);
                else
                    pending_.assign(data + now, data + bytes);
            }
            copied += static_cast<uint32_t>(now);
            if (FAILED(capture_->ReleaseBuffer(frames)))
                return -1;
        }
        return copied;
    }

    bool Stop() override {
        if (client_ == nullptr)
            return false;
        pending_.clear();
        return SUCCEEDED(client_->Stop()) && SUCCEEDED(client_->Reset());
    }

    void Close() override {
        if (client_ != nullptr)
            client_->Stop();
        capture_.Reset();
        client_.Reset();
        device_.Reset();
        frameBytes_ = 0;
        pending_.clear();
    }

  private:
    bool Activate() {
        capture_.Reset();
        client_.Reset();
        clientUsed_ = false;
        if (FAILED(device_->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                     reinterpret_cast<void**>(client_.GetAddressOf())))) {
            client_.Reset();
            return false;
        }
        return true;
    }

    // Moves what was left of the last packet into dest; the bytes moved.
    uint32_t TakePending(uint8_t* dest, uint32_t maxBytes) {
        const size_t now = std::min<size_t>(pending_.size(), maxBytes);
        std::memcpy(dest, pending_.data(), now);
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(now));
        return static_cast<uint32_t>(now);
    }

    Event packetReady_;
    Event wake_;
    ComPtr<IMMDevice> device_;
    ComPtr<IAudioClient> client_;
    ComPtr<IAudioCaptureClient> capture_;
    bool clientUsed_ = false;  // Initialize was called on client_
    uint32_t frameBytes_ = 0;
    std::vector<uint8_t> pending_;  // the part of the last packet not read yet
};

std::string FriendlyName(IMMDevice* device) {
    ComPtr<IPropertyStore> properties;
    if (FAILED(device->OpenPropertyStore(STGM_READ, &properties)))
        return {};
    PROPVARIANT value;
    PropVariantInit(&value);
    std::string name;
    if (SUCCEEDED(properties->GetValue(kFriendlyName, &value)) && value.vt == VT_LPWSTR &&
        value.pwszVal != nullptr)
        name = basis::Utf8FromWide(value.pwszVal);
    PropVariantClear(&value);
    return name;
}

}  // namespace

std::unique_ptr<AudioCaptureDevice> MakeSystemCaptureDevice() {
    return std::make_unique<WasapiCaptureDevice>();
}

std::vector<AudioDeviceEntry> EnumerateCaptureDevices() {
    std::vector<AudioDeviceEntry> list;
    list.push_back(AudioDeviceEntry{std::string(), kPrimaryCaptureDescription});
    const ComPtr<IMMDeviceEnumerator> enumerator = DeviceEnumerator();
    ComPtr<IMMDeviceCollection> endpoints;
    UINT count = 0;
    if (enumerator == nullptr ||
        FAILED(enumerator->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE, &endpoints)) ||
        FAILED(endpoints->GetCount(&count)))
        return list;
    for (UINT i = 0; i < count && list.size() <= kMaxAudioDeviceIdentities; ++i) {
        ComPtr<IMMDevice> device;
        LPWSTR id = nullptr;
        if (FAILED(endpoints->Item(i, &device)) || FAILED(device->GetId(&id)) || id == nullptr)
            continue;
        const std::string identity = basis::Utf8FromWide(id);
        CoTaskMemFree(id);
        const std::string name = FriendlyName(device.Get());
        list.push_back(AudioDeviceEntry{identity, name.empty() ? identity : name});
    }
    return list;
}

}  // namespace capture
