#include <cctype>
#include <cstdlib>
#include <cstring>

#include "client/server_info.h"

namespace rtmp {

bool InitServerInfo(ServerInfo& handle, const char* url) {
    handle.tcUrl.clear();
    if (url == nullptr)
        return false;
    const size_t len = std::strlen(url);
    if (len < 10 || len > kMaxUrlField)
        return false;
    static const char kScheme[] = "rtmp";
    for (size_t i = 0; i < 4; ++i) {
        if (std::tolower(static_cast<unsigned char>(url[i])) != kScheme[i])
            return false;
    }
    // rtmps:// is the same protocol inside TLS.
    const bool tls = std::tolower(static_cast<unsigned char>(url[4])) == 's';
    if (std::strncmp(url + (tls ? 5 : 4), "://", 3) != 0)
        return false;

    // Segments between slashes, one-character segments skipped like empty ones: the first is
    // the scheme, the second the host segment.
    size_t start = 0;
    int count = 0;
    size_t hostBegin = 0;
    size_t hostSlash = 0;
    for (size_t i = 0; i < len && count < 2; ++i) {
        if (url[i] != '/')
            continue;
        if (i - start >= 2) {
            ++count;
            if (count == 2) {
                hostBegin = start;
                hostSlash = i;
            }
        }
        start = i + 1;
    }
    if (count < 2)
        return false;

    size_t lastSlash = 0;
    for (size_t i = len - 1; i > hostSlash + 1; --i) {
        if (url[i] == '/') {
            lastSlash = i;
            break;
        }
    }
    if (lastSlash == 0)
        return false;
    const std::string host(url + hostBegin, hostSlash - hostBegin);
    const std::string app(url + hostSlash + 1, lastSlash - hostSlash - 1);
    if (host.empty() || app.empty())
        return false;
    handle.tls = tls;
    handle.server = host;
    handle.app = app;
    handle.streamName.assign(url + lastSlash + 1);
    handle.tcUrl.assign(url, lastSlash);
    handle.param1.clear();
    handle.param2.clear();
    return true;
}

void SplitHostPort(const std::string& server, std::string* host, int* port, int defaultPort) {
    const size_t colon = server.find(':');
    *host = server.substr(0, colon);
    *port = defaultPort;
    if (colon != std::string::npos && colon + 1 < server.size()) {
        long value = 0;
        for (size_t i = colon + 1;
             i < server.size() && std::isdigit(static_cast<unsigned char>(server[i])); ++i) {
            value = value * 10 + (server[i] - '0');
            if (value > 65535)
                break;
        }
        *port = static_cast<int>(value);
    }
}

}  // namespace rtmp
