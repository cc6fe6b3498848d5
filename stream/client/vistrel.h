// The client handle behind the exported functions: the current connection, shared with every
// call that uses it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "client/connect_failure.h"
#include "client/connection.h"
#include "client/server_info.h"

namespace rtmp {

extern const char* const kVersionString;

// Any exported function may run on any thread while another connects or disconnects the same
// handle. The connection is replaced and read only under mutex; every call works on its own
// reference, so a connection lives until the last call and its receive thread let go of it.
struct CVistrel {
    std::mutex mutex;
    std::shared_ptr<CConnection> connection;  // guarded by mutex
    uint64_t disconnects = 0;                 // guarded by mutex; counts Disconnect calls
    std::string caFile;                       // guarded by mutex; for the next connect
    ConnectFailure lastFailure;               // guarded by mutex; of the last connect
};

// The current connection, or null.
std::shared_ptr<CConnection> CurrentConnection(CVistrel* handle);

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
int SetTlsCaFile(CVistrel* handle, const char* path);
// The kind of the last connect's failure, with its text in text (size bytes) when not null.
int LastConnectError(CVistrel* handle, char* text, int size);
int CallServerMethod(CVistrel* handle, const char** texts, int count, char* result, int size);

}  // namespace rtmp
