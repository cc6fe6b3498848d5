// Size of the Wayland desktop's first monitor, from the compositor's wl_output announcements.
#include <wayland-client.h>

#include <cstring>
#include <utility>

#include "capture/screen_capture_choice.h"

namespace capture {
namespace {

struct Outputs {
    wl_output* first = nullptr;
    int width = 0;
    int height = 0;
};

void OnGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface,
              uint32_t version) {
    auto* outputs = static_cast<Outputs*>(data);
    if (outputs->first != nullptr || std::strcmp(interface, wl_output_interface.name) != 0)
        return;
    outputs->first = static_cast<wl_output*>(
        wl_registry_bind(registry, name, &wl_output_interface, version < 2 ? version : 2));
}

void OnGlobalRemove(void*, wl_registry*, uint32_t) {}

void OnMode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
    auto* outputs = static_cast<Outputs*>(data);
    if ((flags & WL_OUTPUT_MODE_CURRENT) != 0) {
        outputs->width = width;
        outputs->height = height;
    }
}

void OnGeometry(void*, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*,
                const char*, int32_t) {}
void OnDone(void*, wl_output*) {}
void OnScale(void*, wl_output*, int32_t) {}

}  // namespace

std::pair<int, int> WaylandScreenSize() {
    wl_display* display = wl_display_connect(nullptr);
    if (display == nullptr)
        return {0, 0};
    Outputs outputs;
    static const wl_registry_listener registryListener{OnGlobal, OnGlobalRemove};
    static const wl_output_listener outputListener{
        OnGeometry, OnMode, OnDone, OnScale, nullptr, nullptr};  // name, description: version 4
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, &outputs);
    wl_display_roundtrip(display);  // the globals
    if (outputs.first != nullptr) {
        wl_output_add_listener(outputs.first, &outputListener, &outputs);
        wl_display_roundtrip(display);  // the output's modes
        wl_output_destroy(outputs.first);
    }
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return {outputs.width, outputs.height};
}

}  // namespace capture
