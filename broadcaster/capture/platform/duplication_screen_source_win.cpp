// Screen pictures through Desktop Duplication (DXGI 1.2, Windows 8 and later): the output at the
// desktop's origin is duplicated on a Direct3D 11 device, each new desktop image is copied into a
// texture the processor can read, and only when something was drawn. Direct3D is loaded at run
// time, so that the program still starts where it is missing.
#include <windows.h>

#include <d3d11.h>
#include <dxgi1_2.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "capture/platform/screen_source_win.h"

namespace capture {
namespace {

using Microsoft::WRL::ComPtr;
using CreateDeviceCall = decltype(&D3D11CreateDevice);

CreateDeviceCall FindCreateDevice() {
    // Kept loaded for the life of the process: the objects made through it may live as long.
    static const HMODULE d3d11 =
        LoadLibraryExW(L"d3d11.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (d3d11 == nullptr)
        return nullptr;
    return reinterpret_cast<CreateDeviceCall>(
        reinterpret_cast<void (*)()>(GetProcAddress(d3d11, "D3D11CreateDevice")));
}

class DuplicationScreenSource final : public ScreenSource {
  public:
    bool Open() {
        const CreateDeviceCall create = FindCreateDevice();
        if (create == nullptr ||
            FAILED(create(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0,
                          D3D11_SDK_VERSION, &device_, nullptr, &context_)))
            return false;
        ComPtr<IDXGIDevice> dxgi;
        ComPtr<IDXGIAdapter> adapter;
        if (FAILED(device_.As(&dxgi)) || FAILED(dxgi->GetAdapter(&adapter)))
            return false;
        ComPtr<IDXGIOutput> output;
        for (UINT i = 0; adapter->EnumOutputs(i, &output) != DXGI_ERROR_NOT_FOUND; ++i) {
            DXGI_OUTPUT_DESC desc{};
            if (SUCCEEDED(output->GetDesc(&desc)) && desc.AttachedToDesktop &&
                desc.DesktopCoordinates.left == 0 && desc.DesktopCoordinates.top == 0)
                break;
            output.Reset();
        }
        ComPtr<IDXGIOutput1> output1;
        if (output == nullptr || FAILED(output.As(&output1)) ||
            FAILED(output1->DuplicateOutput(device_.Get(), &duplication_)))
            return false;
        DXGI_OUTDUPL_DESC desc{};
        duplication_->GetDesc(&desc);
        // Rotated screens and other pixel formats are GDI's.
        if (desc.ModeDesc.Format != DXGI_FORMAT_B8G8R8A8_UNORM ||
            (desc.Rotation != DXGI_MODE_ROTATION_IDENTITY &&
             desc.Rotation != DXGI_MODE_ROTATION_UNSPECIFIED))
            return false;
        width_ = static_cast<int>(desc.ModeDesc.Width);
        height_ = static_cast<int>(desc.ModeDesc.Height);
        return width_ > 0 && height_ > 0;
    }

    Result Capture(int columns, int rows, ScreenPicture& picture) override {
        if (columns > width_ || rows > height_)
            return Result::kLost;  // the mode changed under the duplication
        const bool samePicture = haveFrame_ && columns == columns_ && rows == rows_;
        DXGI_OUTDUPL_FRAME_INFO info{};
        ComPtr<IDXGIResource> resource;
        const HRESULT acquired = duplication_->AcquireNextFrame(0, &info, &resource);
        if (acquired == DXGI_ERROR_WAIT_TIMEOUT)
            return samePicture ? Result::kUnchanged : Result::kFailed;
        if (acquired == DXGI_ERROR_ACCESS_LOST)
            return Result::kLost;
        if (FAILED(acquired))
            return Result::kFailed;
        // A frame that only moved the pointer (which is drawn by the grabber) has no new image.
        Result result = samePicture && info.LastPresentTime.QuadPart == 0 ? Result::kUnchanged
                                                                          : Result::kFailed;
        if (result != Result::kUnchanged)
            result = CopyImage(resource.Get(), columns, rows) ? Result::kPicture : Result::kFailed;
        duplication_->ReleaseFrame();
        if (result == Result::kPicture || result == Result::kUnchanged) {
            picture.top = pixels_.data();
            picture.stride = static_cast<ptrdiff_t>(columns) * 4;
            picture.bytesPerPixel = 4;
            picture.columns = columns;
            picture.rows = rows;
        }
        return result;
    }

  private:
    bool CopyImage(IDXGIResource* resource, int columns, int rows) {
        ComPtr<ID3D11Texture2D> desktop;
        if (FAILED(resource->QueryInterface(IID_PPV_ARGS(&desktop))))
            return false;
        if (staging_ == nullptr || columns != columns_ || rows != rows_) {
            staging_.Reset();
            haveFrame_ = false;
            D3D11_TEXTURE2D_DESC desc{};
            desc.Width = static_cast<UINT>(columns);
            desc.Height = static_cast<UINT>(rows);
            desc.MipLevels = 1;
            desc.ArraySize = 1;
            desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
            desc.SampleDesc.Count = 1;
            desc.Usage = D3D11_USAGE_STAGING;
            desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
            if (FAILED(device_->CreateTexture2D(&desc, nullptr, &staging_)))
                return false;
            columns_ = columns;
            rows_ = rows;
            pixels_.assign(static_cast<size_t>(columns) * static_cast<size_t>(rows) * 4, 0);
        }
        const D3D11_BOX box{0, 0, 0, static_cast<UINT>(columns), static_cast<UINT>(rows), 1};
        context_->CopySubresourceRegion(staging_.Get(), 0, 0, 0, 0, desktop.Get(), 0, &box);
        D3D11_MAPPED_SUBRESOURCE mapped{};
        if (FAILED(context_->Map(staging_.Get(), 0, D3D11_MAP_READ, 0, &mapped)))
            return false;
        const size_t rowBytes = static_cast<size_t>(columns) * 4;
        const auto* in = static_cast<const uint8_t*>(mapped.pData);
        for (int y = 0; y < rows; ++y)
            std::memcpy(pixels_.data() + rowBytes * static_cast<size_t>(y),
                        in + static_cast<size_t>(mapped.RowPitch) * static_cast<size_t>(y),
                        rowBytes);
        context_->Unmap(staging_.Get(), 0);
        haveFrame_ = true;
        return true;
    }

    ComPtr<ID3D11Device> device_;
    ComPtr<ID3D11DeviceContext> context_;
    ComPtr<IDXGIOutputDuplication> duplication_;
    ComPtr<ID3D11Texture2D> staging_;
    std::vector<uint8_t> pixels_;  // the last image, top-down, 4 bytes a pixel
    int width_ = 0;
    int height_ = 0;
    int columns_ = 0;
    int rows_ = 0;
    bool haveFrame_ = false;
};

}  // namespace

std::unique_ptr<ScreenSource> MakeDuplicationScreenSource() {
    auto source = std::make_unique<DuplicationScreenSource>();
    if (!source->Open())
        return nullptr;
    return source;
}

}  // namespace capture
