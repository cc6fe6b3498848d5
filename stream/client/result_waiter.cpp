#include "client/result_waiter.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace rtmp {

int OnConnectResult(ResultWaiter* waiter, const char* line, int length) {
    if (waiter == nullptr || line == nullptr || length == 0)
        return 0;
    if (std::strcmp(line, "code=NetConnection.Connect.Success") == 0) {
        waiter->ok.store(1);
    } else if (std::strcmp(line, "code=NetConnection.Connect.Rejected") == 0 ||
               std::strcmp(line, "code=NetConnection.Connect.Closed") == 0) {
        waiter->ok.store(0);
    } else if (std::strcmp(line, "CallResult=Vistrel.Call.Success") == 0 ||
               std::strcmp(line, "CallResult=Vistrel.Call.Failed") == 0) {
        waiter->done.store(1);
    }
    return 1;
}

int OnCallResult(ResultWaiter* waiter, const char* line, int length) {
    if (waiter == nullptr || line == nullptr || length == 0)
        return 0;
    if (std::strcmp(line, "CallResult=Vistrel.Call.Success") == 0) {
        waiter->ok.store(1);
        waiter->done.store(1);
    } else if (std::strcmp(line, "CallResult=Vistrel.Call.Failed") == 0) {
        waiter->ok.store(0);
        waiter->done.store(1);
    }
    if (waiter->text != nullptr && waiter->capacity > 0) {
        const size_t used = std::strlen(waiter->text);
        const size_t add = std::strlen(line);
        if (used + add + 1 < static_cast<size_t>(waiter->capacity)) {
            waiter->text[used] = ',';
            std::memcpy(waiter->text + used + 1, line, add);
            waiter->text[used + 1 + add] = '\0';
        }
    }
    return 1;
}

bool WaitResult(const ResultWaiter& waiter, int polls) {
    for (int i = 0; i < polls; ++i) {
        if (waiter.done.load() != 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return waiter.done.load() != 0;
}

}  // namespace rtmp
