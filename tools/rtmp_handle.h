// What the command-line tools share: the client handle released on every exit path, the URL
// check done before connecting, and the one-line failure report.
#pragma once

#include <stream/rtmp.h>

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace rtmp::tools {

struct HandleCloser {
    void operator()(void* h) const {
        RTMP_Disconnect(h);
        RTMP_Release(h);
    }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// The library accepts rtmp://host[:port]/app.../stream; say early when a URL cannot be one.
// needStream: the URL must not end in '/' (playing needs a stream name).
inline bool PlausibleUrl(const std::string& url, bool needStream) {
    constexpr std::string_view kScheme = "rtmp://";
    if (url.compare(0, kScheme.size(), kScheme) != 0)
        return false;
    const std::size_t hostEnd = url.find('/', kScheme.size());
    return hostEnd != std::string::npos && hostEnd > kScheme.size() && url.rfind('/') > hostEnd &&
           (!needStream || url.back() != '/');
}

// Prints "<program>: <message>" on standard error; returns the failure status 1.
inline int Fail(const char* program, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", program, message.c_str());
    return 1;
}

}  // namespace rtmp::tools
