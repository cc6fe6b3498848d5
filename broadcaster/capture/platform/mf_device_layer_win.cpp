// Video devices over Media Foundation: the video capture devices are listed by their symbolic
// links, a device is opened as a media source with a source reader on it, the capture format is
// one of the device's native media types, and the reader converts whatever the camera sends to
// 32-bit RGB (its video processing), which is handed over as packed RGB24, top row first. Frames
// are read asynchronously, so that a wait for one ends after its timeout. Media Foundation is
// loaded at run time: where it is missing (Windows N editions without the media pack) there are
// no cameras, and the program still starts.
#include <windows.h>

#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "basis/platform/wide_text.h"
#include "capture/platform/com_apartment_win.h"
#include "capture/video_device_layer.h"

namespace capture {
namespace {

using Microsoft::WRL::ComPtr;

constexpr DWORD kVideoStream = static_cast<DWORD>(MF_SOURCE_READER_FIRST_VIDEO_STREAM);
constexpr auto kFlushWait = std::chrono::seconds(2);

// The Media Foundation calls, from the system's DLLs; kept loaded for the life of the process.
struct MediaFoundation {
    decltype(&MFStartup) startup = nullptr;
    decltype(&MFShutdown) shutdown = nullptr;
    decltype(&MFCreateAttributes) createAttributes = nullptr;
    decltype(&MFCreateMediaType) createMediaType = nullptr;
    decltype(&MFEnumDeviceSources) enumDeviceSources = nullptr;
    decltype(&MFCreateDeviceSource) createDeviceSource = nullptr;
    decltype(&MFCreateSourceReaderFromMediaSource) createReader = nullptr;
};

template <typename Call>
void Find(HMODULE module, const char* name, Call& call) {
    call = module == nullptr
               ? nullptr
               : reinterpret_cast<Call>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Null when a DLL or a call is missing.
const MediaFoundation* Mf() {
    static const MediaFoundation* const found = [] {
        static MediaFoundation mf;
        const auto load = [](const wchar_t* name) {
            return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        };
        const HMODULE plat = load(L"mfplat.dll");
        const HMODULE core = load(L"mf.dll");
        const HMODULE readwrite = load(L"mfreadwrite.dll");
        Find(plat, "MFStartup", mf.startup);
        Find(plat, "MFShutdown", mf.shutdown);
        Find(plat, "MFCreateAttributes", mf.createAttributes);
        Find(plat, "MFCreateMediaType", mf.createMediaType);
        Find(core, "MFEnumDeviceSources", mf.enumDeviceSources);
        Find(core, "MFCreateDeviceSource", mf.createDeviceSource);
        Find(readwrite, "MFCreateSourceReaderFromMediaSource", mf.createReader);
        const bool complete = mf.startup != nullptr && mf.shutdown != nullptr &&
                              mf.createAttributes != nullptr && mf.createMediaType != nullptr &&
                              mf.enumDeviceSources != nullptr && mf.createDeviceSource != nullptr &&
                              mf.createReader != nullptr;
        return complete ? &mf : nullptr;
    }();
    return found;
}

uint32_t FourCcOf(const GUID& subtype) {
    if (subtype == MFVideoFormat_RGB24)
        return kPixelRgb24;
    if (subtype == MFVideoFormat_YUY2)
        return kPixelYuyv;
    if (subtype == MFVideoFormat_MJPG)
        return kPixelMjpeg;
    return subtype.Data1;  // the other video subtypes are made from their four-character codes
}

// A device's native media type as the layer compares them.
struct NativeType {
    ComPtr<IMFMediaType> type;
    uint32_t fourCc = 0;
    UINT32 width = 0;
    UINT32 height = 0;
    double framesPerSecond = 0;
};

std::string AllocatedString(IMFAttributes* attributes, REFGUID key) {
    wchar_t* text = nullptr;
    UINT32 length = 0;
    if (FAILED(attributes->GetAllocatedString(key, &text, &length)) || text == nullptr)
        return {};
    const std::string utf8 = basis::Utf8FromWide(std::wstring_view(text, length));
    CoTaskMemFree(text);
    return utf8;
}

// Receives the reader's frames on Media Foundation's threads and hands them to DequeueFrame.
// It is a member of its layer, which lets the reader go (after its last call here) before it
// goes itself: its reference counting does nothing. (A COM interface has no virtual destructor:
// its objects go through Release, never through delete.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class ReadCallback final : public IMFSourceReaderCallback {
  public:
    ReadCallback() = default;
    ~ReadCallback() = default;
    ReadCallback(const ReadCallback&) = delete;
    ReadCallback& operator=(const ReadCallback&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr)
            return E_POINTER;
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IMFSourceReaderCallback)) {
            *object = static_cast<IMFSourceReaderCallback*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP OnReadSample(HRESULT status, DWORD /*stream*/, DWORD flags, LONGLONG timestamp,
                              IMFSample* sample) override {
        {
            const std::lock_guard<std::mutex> hold(lock_);
            pending_ = false;
            if (FAILED(status) ||
                (flags & (MF_SOURCE_READERF_ERROR | MF_SOURCE_READERF_ENDOFSTREAM)) != 0) {
                failed_ = true;
            } else if (sample != nullptr) {
                sample_ = sample;
                timestamp_ = timestamp;
            }
        }
        changed_.notify_all();
        return S_OK;
    }
    STDMETHODIMP OnFlush(DWORD /*stream*/) override {
        {
            const std::lock_guard<std::mutex> hold(lock_);
            pending_ = false;
        }
        changed_.notify_all();
        return S_OK;
    }
    STDMETHODIMP OnEvent(DWORD /*stream*/, IMFMediaEvent* /*event*/) override { return S_OK; }

    void Reset() {
        const std::lock_guard<std::mutex> hold(lock_);
        pending_ = false;
        failed_ = false;
        sample_.Reset();
    }
    // Whether a read is to be asked for (none pending, nothing waiting); marks it pending.
    bool StartRead() {
        const std::lock_guard<std::mutex> hold(lock_);
        if (pending_ || sample_ != nullptr || failed_)
            return false;
        pending_ = true;
        return true;
    }
    void ReadNotStarted() {
        const std::lock_guard<std::mutex> hold(lock_);
        pending_ = false;
        failed_ = true;
    }
    bool Pending() {
        const std::lock_guard<std::mutex> hold(lock_);
        return pending_;
    }
    // Waits for a frame or a failure; the frame, with its time in 100 ns units.
    enum class Got { kFrame, kNothing, kFailed };
    Got Take(std::chrono::milliseconds timeout, ComPtr<IMFSample>& sample, LONGLONG& timestamp) {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait_for(hold, timeout, [this] { return sample_ != nullptr || failed_; });
        if (sample_ != nullptr) {
            sample = std::move(sample_);
            timestamp = timestamp_;
            return Got::kFrame;
        }
        return failed_ ? Got::kFailed : Got::kNothing;
    }
    // Waits until no read is pending (after a flush), at most timeout.
    void WaitIdle(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait_for(hold, timeout, [this] { return !pending_; });
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool pending_ = false;  // a ReadSample was asked for and not answered
    bool failed_ = false;
    ComPtr<IMFSample> sample_;
    LONGLONG timestamp_ = 0;
};
#pragma GCC diagnostic pop

class MfDeviceLayer final : public VideoDeviceLayer {
  public:
    MfDeviceLayer() {
        mf_ = Mf();
        started_ = mf_ != nullptr && EnterComponentSystem() &&
                   SUCCEEDED(mf_->startup(MF_VERSION, MFSTARTUP_LITE));
    }
    ~MfDeviceLayer() override {
        Close();
        if (started_)
            mf_->shutdown();
    }
    MfDeviceLayer(const MfDeviceLayer&) = delete;
    MfDeviceLayer& operator=(const MfDeviceLayer&) = delete;

    std::optional<std::vector<std::string>> ListNodes() override {
        if (!started_ || !EnterComponentSystem())
            return std::nullopt;
        ComPtr<IMFAttributes> filter;
        if (FAILED(mf_->createAttributes(&filter, 1)) ||
            FAILED(filter->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE,
                                   MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID)))
            return std::nullopt;
        IMFActivate** devices = nullptr;
        UINT32 count = 0;
        if (FAILED(mf_->enumDeviceSources(filter.Get(), &devices, &count)))
            return std::nullopt;
        std::vector<std::string> links;
        for (UINT32 i = 0; i < count; ++i) {
            const std::string link = AllocatedString(
                devices[i], MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK);
            if (!link.empty()) {
                names_[link] = AllocatedString(devices[i], MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME);
                links.push_back(link);
            }
            devices[i]->Release();
        }
        CoTaskMemFree(devices);
        return links;
    }

    bool Open(const std::string& node) override {
        Close();
        if (!started_ || !EnterComponentSystem())
            return false;
        ComPtr<IMFAttributes> device;
        ComPtr<IMFAttributes> options;
        if (FAILED(mf_->createAttributes(&device, 2)) ||
            FAILED(device->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE,
                                   MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID)) ||
            FAILED(device->SetString(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK,
                                     basis::WideFromUtf8(node).c_str())) ||
            FAILED(mf_->createDeviceSource(device.Get(), &source_)))
            return false;
        // The reader converts the camera's own format to RGB, and reads without blocking.
        if (FAILED(mf_->createAttributes(&options, 2)) ||
            FAILED(options->SetUINT32(MF_SOURCE_READER_ENABLE_VIDEO_PROCESSING, TRUE)) ||
            FAILED(options->SetUnknown(MF_SOURCE_READER_ASYNC_CALLBACK, &callback_)) ||
            FAILED(mf_->createReader(source_.Get(), options.Get(), &reader_))) {
            Close();
            return false;
        }
        callback_.Reset();
        const auto named = names_.find(node);
        name_ = named != names_.end() ? named->second : std::string();
        for (DWORD i = 0;; ++i) {
            ComPtr<IMFMediaType> type;
            if (FAILED(reader_->GetNativeMediaType(kVideoStream, i, &type)))
                break;
            natives_.push_back(Describe(type));
        }
        return true;
    }

    void Close() override {
        if (reader_ != nullptr && callback_.Pending()) {
            reader_->Flush(kVideoStream);
            callback_.WaitIdle(kFlushWait);
        }
        reader_.Reset();
        if (source_ != nullptr)
            source_->Shutdown();
        source_.Reset();
        natives_.clear();
        current_.reset();
        outputWidth_ = 0;
        outputHeight_ = 0;
        outputStride_ = 0;
    }

    bool QueryCaps(VideoDeviceCaps& caps) override {
        if (reader_ == nullptr)
            return false;
        caps.card = name_;
        caps.canCapture = !natives_.empty();
        caps.canStream = true;
        return true;
    }

    std::vector<uint32_t> EnumerateFormats() override {
        std::vector<uint32_t> formats;
        for (const NativeType& native : natives_) {
            if (std::find(formats.begin(), formats.end(), native.fourCc) == formats.end())
                formats.push_back(native.fourCc);
        }
        return formats;
    }

    bool GetFormat(VideoFormat& format) override {
        ComPtr<IMFMediaType> type;
        if (reader_ == nullptr ||
            FAILED(reader_->GetNativeMediaType(
                kVideoStream, static_cast<DWORD>(MF_SOURCE_READER_CURRENT_TYPE_INDEX), &type)))
            return false;
        const NativeType now = Describe(type);
        format = VideoFormat{now.fourCc, now.width, now.height, 0};
        return true;
    }

    // A native format is chosen on the device (the nearest size, then the nearest rate); the
    // reader's output is RGB at that size. Asking for RGB24 the device does not send itself asks
    // for that output only.
    bool SetFormat(VideoFormat& format) override {
        if (reader_ == nullptr || !EnterComponentSystem())
            return false;
        const bool output = format.pixelFormat == kPixelRgb24;
        if (!output || HasNative(kPixelRgb24)) {
            const std::optional<size_t> best =
                Nearest(format.pixelFormat, format.width, format.height);
            if (!best || !UseNative(*best))
                return false;
        }
        if (!SetOutput())
            return false;
        if (output) {
            format = VideoFormat{kPixelRgb24, outputWidth_, outputHeight_, outputWidth_ * 3};
        } else {
            const NativeType& now = natives_[*current_];
            format = VideoFormat{now.fourCc, now.width, now.height, 0};
        }
        return true;
    }

    bool SetFrameInterval(uint32_t numerator, uint32_t denominator) override {
        if (reader_ == nullptr || !current_ || numerator == 0)
            return false;
        wantedRate_ = static_cast<double>(denominator) / numerator;
        const NativeType& now = natives_[*current_];
        const std::optional<size_t> best = Nearest(now.fourCc, now.width, now.height);
        if (!best || *best == *current_)
            return best.has_value();
        return UseNative(*best) && SetOutput();
    }

    bool RequestBuffers(uint32_t /*count*/) override {
        // The reader keeps its own buffers.
        return reader_ != nullptr && outputWidth_ > 0;
    }

    bool StreamOn() override {
        callback_.Reset();
        return reader_ != nullptr;
    }

    bool StreamOff() override {
        if (reader_ != nullptr && callback_.Pending()) {
            reader_->Flush(kVideoStream);
            callback_.WaitIdle(kFlushWait);
        }
        return true;
    }

    DequeueResult DequeueFrame(int timeoutMs, VideoFrame& frame) override {
        if (reader_ == nullptr || !EnterComponentSystem())
            return DequeueResult::kError;
        if (callback_.StartRead() &&
            FAILED(reader_->ReadSample(kVideoStream, 0, nullptr, nullptr, nullptr, nullptr))) {
            callback_.ReadNotStarted();
            return DequeueResult::kError;
        }
        ComPtr<IMFSample> sample;
        LONGLONG timestamp = 0;
        switch (callback_.Take(std::chrono::milliseconds(timeoutMs), sample, timestamp)) {
            case ReadCallback::Got::kNothing:
                return DequeueResult::kTimeout;
            case ReadCallback::Got::kFailed:
                return DequeueResult::kError;
            case ReadCallback::Got::kFrame:
                break;
        }
        frame.timestampSeconds = static_cast<double>(timestamp) / 1e7;
        // A sample that can't be read is skipped, as a short V4L2 frame is.
        return CopyFrame(sample.Get(), frame) ? DequeueResult::kFrame : DequeueResult::kTimeout;
    }

  private:
    NativeType Describe(const ComPtr<IMFMediaType>& type) const {
        NativeType native;
        native.type = type;
        GUID subtype{};
        if (SUCCEEDED(type->GetGUID(MF_MT_SUBTYPE, &subtype)))
            native.fourCc = FourCcOf(subtype);
        MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &native.width, &native.height);
        UINT32 frames = 0;
        UINT32 seconds = 0;
        if (SUCCEEDED(MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, &frames, &seconds)) &&
            seconds != 0)
            native.framesPerSecond = static_cast<double>(frames) / seconds;
        return native;
    }

    bool HasNative(uint32_t fourCc) const {
        return std::any_of(natives_.begin(), natives_.end(),
                           [fourCc](const NativeType& n) { return n.fourCc == fourCc; });
    }

    // The native type of that format nearest to the size (then to the wanted rate).
    std::optional<size_t> Nearest(uint32_t fourCc, uint32_t width, uint32_t height) const {
        std::optional<size_t> best;
        double bestSize = 0;
        double bestRate = 0;
        for (size_t i = 0; i < natives_.size(); ++i) {
            const NativeType& n = natives_[i];
            if (n.fourCc != fourCc)
                continue;
            const double size = std::abs(static_cast<double>(n.width) - width) +
                                std::abs(static_cast<double>(n.height) - height);
            const double rate = wantedRate_ > 0 ? std::abs(n.framesPerSecond - wantedRate_) : 0;
            if (!best || size < bestSize || (size == bestSize && rate < bestRate)) {
                best = i;
                bestSize = size;
                bestRate = rate;
            }
        }
        return best;
    }

    bool UseNative(size_t index) {
        if (FAILED(reader_->SetCurrentMediaType(kVideoStream, nullptr, natives_[index].type.Get())))
            return false;
        current_ = index;
        return true;
    }

    // The reader's output: 32-bit RGB at the native size.
    bool SetOutput() {
        ComPtr<IMFMediaType> type;
        ComPtr<IMFMediaType> now;
        UINT32 width = 0;
        UINT32 height = 0;
        if (!current_ || FAILED(mf_->createMediaType(&type)) ||
            FAILED(type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video)) ||
            FAILED(type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_RGB32)) ||
            FAILED(MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, natives_[*current_].width,
                                      natives_[*current_].height)) ||
            FAILED(reader_->SetCurrentMediaType(kVideoStream, nullptr, type.Get())) ||
            FAILED(reader_->GetCurrentMediaType(kVideoStream, &now)) ||
            FAILED(MFGetAttributeSize(now.Get(), MF_MT_FRAME_SIZE, &width, &height)) ||
            width == 0 || height == 0)
            return false;
        outputWidth_ = width;
        outputHeight_ = height;
        // Without a stated stride an RGB picture in Media Foundation is top-down and unpadded.
        UINT32 stride = 0;
        outputStride_ = SUCCEEDED(now->GetUINT32(MF_MT_DEFAULT_STRIDE, &stride))
                            ? static_cast<int32_t>(stride)
                            : static_cast<int32_t>(width * 4);
        return true;
    }

    // The sample's 32-bit pixels (blue, green, red, unused) as RGB24 rows, top row first.
    bool CopyFrame(IMFSample* sample, VideoFrame& frame) const {
        ComPtr<IMFMediaBuffer> buffer;
        if (FAILED(sample->ConvertToContiguousBuffer(&buffer)))
            return false;
        const size_t rowBytes = static_cast<size_t>(outputWidth_) * 4;
        ComPtr<IMF2DBuffer> picture;
        BYTE* top = nullptr;
        LONG pitch = 0;
        bool locked2d = false;
        BYTE* data = nullptr;
        DWORD length = 0;
        // A picture of another size than the output type's (a camera that changed its mode
        // mid-stream) would be read past its end: it is skipped.
        DWORD whole = 0;
        if (SUCCEEDED(buffer.As(&picture)) && SUCCEEDED(picture->GetContiguousLength(&whole)) &&
            whole < rowBytes * static_cast<size_t>(outputHeight_))
            return false;
        if (picture != nullptr && SUCCEEDED(picture->Lock2D(&top, &pitch))) {
            locked2d = true;
            if (static_cast<size_t>(std::abs(pitch)) < rowBytes) {
                picture->Unlock2D();
                return false;
            }
        } else if (SUCCEEDED(buffer->Lock(&data, nullptr, &length))) {
            pitch = outputStride_;
            const size_t span = static_cast<size_t>(std::abs(pitch));
            if (span < rowBytes || length < span * outputHeight_) {
                buffer->Unlock();
                return false;
            }
            top = pitch < 0 ? data + span * (outputHeight_ - 1) : data;
        } else {
            return false;
        }
        frame.bytes.resize(static_cast<size_t>(outputWidth_) * outputHeight_ * 3);
        uint8_t* out = frame.bytes.data();
        for (UINT32 y = 0; y < outputHeight_; ++y) {
            const BYTE* in = top + static_cast<ptrdiff_t>(pitch) * y;
            for (UINT32 x = 0; x < outputWidth_; ++x, in += 4, out += 3) {
                out[0] = in[2];
                out[1] = in[1];
                out[2] = in[0];
            }
        }
        if (locked2d)
            picture->Unlock2D();
        else
            buffer->Unlock();
        return true;
    }

    const MediaFoundation* mf_ = nullptr;
    bool started_ = false;
    std::map<std::string, std::string> names_;  // symbolic link -> friendly name
    ReadCallback callback_;
    ComPtr<IMFMediaSource> source_;
    ComPtr<IMFSourceReader> reader_;
    std::string name_;
    std::vector<NativeType> natives_;
    std::optional<size_t> current_;
    double wantedRate_ = 0;
    UINT32 outputWidth_ = 0;
    UINT32 outputHeight_ = 0;
    int32_t outputStride_ = 0;
};

}  // namespace

std::unique_ptr<VideoDeviceLayer> MakeSystemVideoDeviceLayer() {
    return std::make_unique<MfDeviceLayer>();
}

}  // namespace capture
