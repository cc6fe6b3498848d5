// The client handle behind the exported functions: the parsed URL and the current connection.
#pragma once

#include <memory>
#include <string>

#include "client/connection.h"

namespace rtmp {

constexpr size_t kMaxUrlField = 511;
extern const char* const kVersionString;

struct CVistrel {
    std::unique_ptr<CConnection> connection;
    std::string tcUrl;       // URL up to its last '/'
    std::string server;      // host segment, optionally with ":port"
    std::string app;         // between host segment and last '/'
    std::string streamName;  // after the last '/'
    std::string param1;      // extra connect arguments (RTMP_Connect2)
    std::string param2;
};

// Parses an rtmp:// URL into the handle's fields; false (fields cleared) for a bad URL.
bool InitServerInfo(CVistrel& handle, const char* url);
// Host text and port of a host segment ("host", "host:1935", "host:" -> 1935).
void SplitHostPort(const std::string& server, std::string* host, int* port);

enum ActionCode : int {
    ACTION_DISCONNECT = 0,
    ACTION_PLAY = 1,
    ACTION_CLOSE_STREAM = 2,
    ACTION_PUBLISH_RECORD = 8,
    ACTION_PUBLISH_LIVE = 9,
    ACTION_PUBLISH_APPEND = 10,
};
int DoAction(CVistrel* handle, int code);

int ConnectHandle(CVistrel* handle, const char* url, const char* param1, const char* param2);
int CallServerMethod(CVistrel* handle, const char** texts, int count, char* result, int size);

}  // namespace rtmp
