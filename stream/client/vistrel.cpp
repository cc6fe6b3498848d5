#include "client/vistrel.h"

#include <cstring>

#include "client/commands.h"
#include "log/log.h"
#include "wire/my_exception.h"

namespace rtmp {

const char* const kVersionString = "2.140107.09_MP4.Release";

namespace {

constexpr int kConnectPolls = 3000;
constexpr int kCommandPolls = 3000;
constexpr int kCallPolls = 500;

// Installs the hook for the life of one waiting call.
class HookScope {
  public:
    HookScope(CConnection& c, ResultHookFn hook, ResultWaiter* waiter) : c_(c) {
        c_.InstallHook(hook, waiter);
    }
    ~HookScope() { c_.RemoveHook(); }
    HookScope(const HookScope&) = delete;
    HookScope& operator=(const HookScope&) = delete;

  private:
    CConnection& c_;
};

int PublishAs(CVistrel* handle, const char* type) {
    CConnection& c = *handle->connection;
    ResultWaiter waiter;
    HookScope scope(c, OnCallResult, &waiter);
    c.SetPublishType(type);
    try {
        // createStream first; its answer decides whether publishing is worth trying.
        if (!c.SendCommand("createStream", CS_COMMAND))
            return 0;
        if (!WaitResult(waiter, kCommandPolls) || waiter.ok.load() == 0)
            return 0;
        // Then the publish status itself, so a server that refuses the stream name is seen
        // as a failure rather than reported as success.
        waiter.done.store(0);
        if (!c.SendCommand("publish", CS_STREAM))
            return 0;
        WaitResult(waiter, kCommandPolls);
        return waiter.ok.load();
    } catch (MyException) {
        log::ShowText("Exception in CConnection::Publish()");
        return 0;
    }
}

}  // namespace

int DoAction(CVistrel* handle, int code) {
    if (handle == nullptr || !handle->connection)
        return 0;
    switch (code) {
        case ACTION_DISCONNECT:
            handle->connection.reset();
            return 1;
        case ACTION_PLAY:
            handle->connection->Play();
            return 1;
        case ACTION_CLOSE_STREAM:
            try {
                return handle->connection->CloseStream() ? 1 : 0;
            } catch (MyException) {
                return 0;
            }
        case ACTION_PUBLISH_RECORD:
            return PublishAs(handle, "record");
        case ACTION_PUBLISH_LIVE:
            return PublishAs(handle, "live");
        case ACTION_PUBLISH_APPEND:
            return PublishAs(handle, "append");
        default:
            return 1;
    }
}

int ConnectHandle(CVistrel* handle, const char* url, const char* param1, const char* param2) {
    if (handle == nullptr)
        return 0;
    DoAction(handle, ACTION_DISCONNECT);
    if (!InitServerInfo(*handle, url)) {
        log::ShowFMT("InitServerInfo().Failue url=%s", url != nullptr ? url : "(null)");
        return 0;
    }
    if (param1 != nullptr) {
        if (std::strlen(param1) > kMaxUrlField)
            return 0;
        handle->param1 = param1;
    }
    if (param2 != nullptr) {
        if (std::strlen(param2) > kMaxUrlField)
            return 0;
        handle->param2 = param2;
    }
    handle->connection = std::make_unique<CConnection>();
    ResultWaiter waiter;
    bool ok = false;
    {
        HookScope scope(*handle->connection, OnConnectResult, &waiter);
        if (handle->connection->Connect(handle)) {
            ok = WaitResult(waiter, kConnectPolls) && waiter.ok.load() == 1;
        }
    }
    if (!ok)
        DoAction(handle, ACTION_DISCONNECT);
    return ok ? 1 : 0;
}

int CallServerMethod(CVistrel* handle, const char** texts, int count, char* result, int size) {
    if (count < 1 || texts == nullptr || result == nullptr || size <= 0 || handle == nullptr ||
        !handle->connection) {
        return 0;
    }
    std::memset(result, 0, static_cast<size_t>(size));
    ResultWaiter waiter;
    waiter.text = result;
    waiter.capacity = size;
    HookScope scope(*handle->connection, OnCallResult, &waiter);
    handle->connection->CallServer(texts, count);
    WaitResult(waiter, kCallPolls);
    return 1;
}

}  // namespace rtmp
