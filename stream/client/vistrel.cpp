#include "client/vistrel.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "client/commands.h"
#include "log/log.h"
#include "wire/my_exception.h"

namespace rtmp {

const char* const kVersionString = "2.140107.09_MP4.Release";

namespace {

constexpr int kConnectPolls = 3000;
constexpr int kCommandPolls = 3000;
constexpr int kCallPolls = 600;
// Longest CA file path taken.
constexpr size_t kMaxPathLength = 4095;

// Installs the hook for the life of one waiting call. The connection has one hook, so
// waiting calls from several threads take turns.
class HookScope {
  public:
    HookScope(CConnection& c, ResultHookFn hook, ResultWaiter* waiter)
        : c_(c), turn_(c.CallMutex()) {
        c_.InstallHook(hook, waiter);
    }
    ~HookScope() { c_.RemoveHook(); }
    HookScope(const HookScope&) = delete;
    HookScope& operator=(const HookScope&) = delete;

  private:
    CConnection& c_;
    std::lock_guard<std::mutex> turn_;
};

// Sends the request with its transaction id (the waiter's, or else a new one), with the hook
// installed, and waits for the
// answer to that request: true only when it came in time and was a success. A connection that
// ends while waiting finishes the wait at once with a failure. The waiter takes only the
// answer that carries its request's id (or a status, when takesStatus): a late answer to an
// earlier request is dropped.
template <typename Send>
bool AwaitAnswer(CConnection& c, ResultHookFn hook, ResultWaiter& waiter, Send&& send, int polls) {
    if (c.OnReceiveThread())
        return false;  // called from a callback: the answer could never be read
    const uint32_t id = waiter.transactionId > 0 ? static_cast<uint32_t>(waiter.transactionId)
                                                 : NextTransactionId();
    waiter.transactionId = id;
    HookScope scope(c, hook, &waiter);
    if (!send(id))
        return false;
    return WaitResult(waiter, polls) && waiter.ok.load() == 1;
}

// The server's answer to one command; publish and play are answered with a status.
template <typename Send>
bool Answered(CConnection& c, Send&& send, int polls, bool takesStatus = false) {
    ResultWaiter waiter;
    waiter.takesStatus = takesStatus;
    return AwaitAnswer(c, OnCallResult, waiter, send, polls);
}

bool CreateStream(CConnection& c) {
    return Answered(
        c, [&](uint32_t id) { return c.SendCommand("createStream", CS_COMMAND, id); },
        kCommandPolls);
}

int PublishAs(CConnection& c, const char* type) {
    try {
        // createStream first; its answer decides whether publishing is worth trying.
        if (!CreateStream(c))
            return 0;
        c.RestartMedia();
        // Then the publish status itself: success only when the server said so.
        return Answered(
                   c, [&](uint32_t id) { return c.SendCommand("publish", CS_STREAM, id, type); },
                   kCommandPolls, true)
                   ? 1
                   : 0;
    } catch (MyException) {
        log::ShowText("Exception in CConnection::Publish()");
        return 0;
    }
}

int PlayStream(CConnection& c) {
    if (c.Info().streamName.empty())
        return 0;  // nothing to ask for
    try {
        if (!CreateStream(c))
            return 0;
        // Success only when the server answered the play with a success status.
        return Answered(
                   c, [&](uint32_t id) { return c.SendPlay(id); }, kCommandPolls, true)
                   ? 1
                   : 0;
    } catch (MyException) {
        return 0;
    }
}

// Takes the connection off the handle and ends it; false when there was none. A Disconnect
// is counted, so that a Connect running meanwhile on another thread gives up.
bool DropConnection(CVistrel* handle, bool counted = true) {
    std::shared_ptr<CConnection> old;
    {
        std::lock_guard<std::mutex> lock(handle->mutex);
        old.swap(handle->connection);
        if (counted)
            ++handle->disconnects;
    }
    if (!old)
        return false;
    old->Stop();
    return true;
}

// Takes c off the handle if it is still the handle's connection, and ends it.
void DropIfCurrent(CVistrel* handle, const std::shared_ptr<CConnection>& c) {
    {
        std::lock_guard<std::mutex> lock(handle->mutex);
        if (handle->connection == c)
            handle->connection.reset();
    }
    c->Stop();
}

}  // namespace

std::shared_ptr<CConnection> CurrentConnection(CVistrel* handle) {
    if (handle == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> lock(handle->mutex);
    return handle->connection;
}

int DoAction(CVistrel* handle, int code) {
    if (handle == nullptr)
        return 0;
    if (code == ACTION_DISCONNECT)
        return DropConnection(handle) ? 1 : 0;
    const std::shared_ptr<CConnection> c = CurrentConnection(handle);
    if (!c)
        return 0;
    switch (code) {
        case ACTION_PLAY:
            return PlayStream(*c);
        case ACTION_CLOSE_STREAM:
            try {
                return c->CloseStream() ? 1 : 0;
            } catch (MyException) {
                return 0;
            }
        case ACTION_PUBLISH_RECORD:
            return PublishAs(*c, "record");
        case ACTION_PUBLISH_LIVE:
            return PublishAs(*c, "live");
        case ACTION_PUBLISH_APPEND:
            return PublishAs(*c, "append");
        default:
            return 1;
    }
}

int ConnectHandle(CVistrel* handle, const char* url, const char* param1, const char* param2) {
    if (handle == nullptr)
        return 0;
    // Counted from the call's first step: a Disconnect from another thread at any moment after
    // it wins, also one that arrives while the old connection is being dropped.
    uint64_t disconnects = 0;
    std::string caFile;
    {
        std::lock_guard<std::mutex> lock(handle->mutex);
        disconnects = handle->disconnects;
        caFile = handle->caFile;
        handle->lastFailure = {RTMP_ERROR_OTHER, "disconnected while connecting"};
    }
    const auto failed = [&](ConnectFailure failure) {  // records the verdict, returns 0
        std::lock_guard<std::mutex> lock(handle->mutex);
        handle->lastFailure = std::move(failure);
        return 0;
    };
    DropConnection(handle, false);
    ServerInfo info;
    if (!InitServerInfo(info, url)) {
        log::ShowFMT("InitServerInfo().Failue url=%s", url != nullptr ? url : "(null)");
        return failed({RTMP_ERROR_OTHER, "not an rtmp:// or rtmps:// URL"});
    }
    for (const auto& [param, field] :
         {std::pair(param1, &info.param1), std::pair(param2, &info.param2)}) {
        if (param == nullptr)
            continue;
        if (std::strlen(param) > kMaxUrlField)
            return failed({RTMP_ERROR_OTHER, "a connect argument longer than 511 bytes"});
        *field = param;
    }
    // Attached before it connects, so a Disconnect from another thread can end the attempt.
    auto c = std::make_shared<CConnection>();
    std::shared_ptr<CConnection> replaced;
    {
        std::lock_guard<std::mutex> lock(handle->mutex);
        // A Disconnect from another thread since this call began wins over it.
        if (handle->disconnects != disconnects)
            return 0;
        replaced = std::exchange(handle->connection, c);
    }
    if (replaced)
        replaced->Stop();  // another thread connected in the meantime: the later one wins
    ResultWaiter waiter;
    waiter.transactionId = kConnectTransactionId;
    bool connected = false;
    const bool ok = AwaitAnswer(
        *c, OnConnectResult, waiter,
        [&](uint32_t id) { return connected = c->Connect(info, id, caFile); }, kConnectPolls);
    if (ok) {
        failed({RTMP_ERROR_NONE, {}});
        return 1;
    }
    DropIfCurrent(handle, c);
    if (!connected)
        return failed(c->Failure());
    return failed(
        {RTMP_ERROR_OTHER, info.server + " did not accept the connection to " + info.app});
}

int SetTlsCaFile(CVistrel* handle, const char* path) {
    if (handle == nullptr || (path != nullptr && std::strlen(path) > kMaxPathLength))
        return 0;
    std::lock_guard<std::mutex> lock(handle->mutex);
    handle->caFile = path != nullptr ? path : "";
    return 1;
}

int LastConnectError(CVistrel* handle, char* text, int size) {
    if (handle == nullptr)
        return RTMP_ERROR_NONE;
    std::lock_guard<std::mutex> lock(handle->mutex);
    if (text != nullptr && size > 0)
        std::snprintf(text, static_cast<size_t>(size), "%s", handle->lastFailure.text.c_str());
    return handle->lastFailure.kind;
}

int CallServerMethod(CVistrel* handle, const char** texts, int count, char* result, int size) {
    if (count < 1 || texts == nullptr || result == nullptr || size <= 0)
        return 0;
    const std::shared_ptr<CConnection> c = CurrentConnection(handle);
    if (!c)
        return 0;
    std::memset(result, 0, static_cast<size_t>(size));
    ResultWaiter waiter;
    waiter.text = result;
    waiter.capacity = size;
    // The lines stay in result either way; the verdict is the server's.
    return AwaitAnswer(
               *c, OnCallResult, waiter,
               [&](uint32_t id) { return c->CallServer(texts, count, id); }, kCallPolls)
               ? 1
               : 0;
}

}  // namespace rtmp
