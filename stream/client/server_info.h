// The parts of an rtmp:// or rtmps:// URL a connection needs.
#pragma once

#include <cstddef>
#include <string>

namespace rtmp {

constexpr size_t kMaxUrlField = 511;

constexpr int kRtmpPort = 1935;
constexpr int kRtmpsPort = 443;

struct ServerInfo {
    bool tls = false;        // rtmps://: the connection runs inside TLS
    std::string tcUrl;       // URL up to its last '/'
    std::string server;      // host segment, optionally with ":port"
    std::string app;         // between host segment and last '/'
    std::string streamName;  // after the last '/'
    std::string param1;      // extra connect arguments (RTMP_Connect2)
    std::string param2;
};

// Parses an rtmp:// or rtmps:// URL into the fields; false for a bad URL.
bool InitServerInfo(ServerInfo& info, const char* url);
// Host text and port of a host segment ("host", "host:1940", "host:" -> defaultPort).
void SplitHostPort(const std::string& server, std::string* host, int* port,
                   int defaultPort = kRtmpPort);

}  // namespace rtmp
