// What the shared part of TcpSocket (tcp_socket.cpp) and each system's own part
// (tcp_socket_posix.cpp, tcp_socket_win.cpp) give each other. Nothing else includes it.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <limits>
#include <string>

#include "client/platform/native_socket.h"

namespace rtmp::socket_shared {

using Clock = std::chrono::steady_clock;

// How often a wait looks whether Shutdown was called (a shut-down socket does not wake every
// wait by itself, e.g. not during a connect, nor a wait for reading on Windows).
inline constexpr int kWakeCheckMs = 50;

inline int MillisLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, std::numeric_limits<int>::max()));
}

inline Clock::time_point DeadlineAfter(int timeoutMs) {
    return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

// Each system's part gives these.

// Switches the socket between non-blocking and blocking; false on failure.
bool SetNonBlocking(NativeSocket socket, bool on);
// The first IPv4 address of host, as dotted text; empty when there is none. Blocks as long as
// the resolver takes.
std::string LookUpIpv4(const std::string& host);
// Runs job on a thread of its own that nobody waits for: it may outlive its caller and every
// socket. False when no thread could be started (job did not run).
bool RunDetached(std::function<void()> job);

}  // namespace rtmp::socket_shared
