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

// The library accepts rtmp[s]://host[:port]/app.../stream; say early when a URL cannot be one.
// needStream: the URL must not end in '/' (playing needs a stream name).
inline bool PlausibleUrl(const std::string& url, bool needStream) {
    const std::size_t schemeEnd = url.rfind("rtmps://", 0) == 0  ? 8
                                  : url.rfind("rtmp://", 0) == 0 ? 7
                                                                 : 0;
    if (schemeEnd == 0)
        return false;
    const std::size_t hostEnd = url.find('/', schemeEnd);
    return hostEnd != std::string::npos && hostEnd > schemeEnd && url.rfind('/') > hostEnd &&
           (!needStream || url.back() != '/');
}

// Prints "<program>: <message>" on standard error; returns the failure status 1.
inline int Fail(const char* program, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", program, message.c_str());
    return 1;
}

// Connects the handle (rtmps:// trusting caFile's authorities besides the system's); on failure
// says why and returns false.
inline bool ConnectOrSay(const char* program, void* handle, const std::string& url,
                         const std::string& caFile) {
    if (!caFile.empty() && RTMP_SetTlsCaFile(handle, caFile.c_str()) == 0) {
        Fail(program, "the CA file name is too long");
        return false;
    }
    if (RTMP_Connect(handle, url.c_str()) != 0)
        return true;
    char why[512] = {};
    RTMP_GetLastError(handle, why, sizeof why);
    Fail(program, "cannot connect to " + url + ": " + why);
    return false;
}

}  // namespace rtmp::tools
