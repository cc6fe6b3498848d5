// How an API call waits for the server's answer lines, which the receive thread offers to
// the one installed result hook.
#pragma once

#include <atomic>
#include <cstdint>

namespace rtmp {

struct ResultWaiter {
    // The request the waiter belongs to: only a "_result" or "_error" with this id, or an
    // "onStatus" when takesStatus, reaches it. Set before the request is sent.
    int64_t transactionId = -1;
    bool takesStatus = false;
    std::atomic<int> done{0};
    std::atomic<int> ok{0};
    char* text = nullptr;  // optional: collects the lines, each preceded by ','
    int capacity = 0;
};

using ResultHookFn = int (*)(ResultWaiter* waiter, const char* line, int length);

// Verdict of a connect: the code= line; the wait ends at the closing CallResult= line.
int OnConnectResult(ResultWaiter* waiter, const char* line, int length);
// Verdict of a command or call: the CallResult= line; lines are collected in text if set.
int OnCallResult(ResultWaiter* waiter, const char* line, int length);
// Polls done once a millisecond, at most polls times; true when done was seen.
bool WaitResult(const ResultWaiter& waiter, int polls);

}  // namespace rtmp
