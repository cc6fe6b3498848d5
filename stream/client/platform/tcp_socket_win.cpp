// TcpSocket's own calls on Windows (Winsock 2). The socket stays non-blocking from the connect
// on, and every wait is a select of at most 50 ms that looks whether Shutdown was called in
// between: closesocket is not safe while another thread still uses the socket, so Shutdown
// only shuts it down and Close alone closes it.
#include <winsock2.h>

#include <mstcpip.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <type_traits>

#include "basis/platform/wide_text.h"
#include "client/platform/tcp_socket.h"
#include "client/platform/tcp_socket_shared.h"

namespace rtmp {
namespace {

static_assert(std::is_same_v<NativeSocket, SOCKET>);
static_assert(kNoSocket == INVALID_SOCKET);

using socket_shared::Clock;
using socket_shared::DeadlineAfter;
using socket_shared::kWakeCheckMs;
using socket_shared::MillisLeft;

// Winsock is started once, at the first socket or name lookup (never while the DLL loads), and
// never cleaned up: WSACleanup at unload would run inside DllMain, and the count is the
// process's own.
bool WinsockReady() {
    static const bool ready = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

// The Windows SDK's values; mingw-w64's headers lack them. Windows 10 (1703) and later take
// TCP_KEEPCNT, every version since 2000 TCP_MAXRT; a system that refuses one keeps its default.
constexpr int kTcpMaxRetransmitOption = 5;  // TCP_MAXRT: seconds
constexpr int kTcpKeepCountOption = 16;     // TCP_KEEPCNT

// A dead peer is given up after about 20 s, as on Linux: keep-alive probes after 5 s of
// silence, three more 5 s apart (Windows before 10 (1703) sends ten), and no sent data left
// unacknowledged for longer than 20 s (TCP_MAXRT in place of Linux's TCP_USER_TIMEOUT).
constexpr ULONG kKeepIdleMs = 5000;
constexpr ULONG kKeepIntervalMs = 5000;
constexpr int kKeepCount = 3;
constexpr int kMaxRetransmitSeconds = 20;

void SetIntOption(SOCKET s, int level, int name, int value) {
    setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

void WatchForDeadPeer(SOCKET s) {
    SetIntOption(s, SOL_SOCKET, SO_KEEPALIVE, 1);
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = kKeepIdleMs;
    values.keepaliveinterval = kKeepIntervalMs;
    DWORD returned = 0;
    WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
             nullptr);
    SetIntOption(s, IPPROTO_TCP, kTcpKeepCountOption, kKeepCount);
    SetIntOption(s, IPPROTO_TCP, kTcpMaxRetransmitOption, kMaxRetransmitSeconds);
}

// A TCP socket whose handle no child process inherits (Windows 7 SP1 and later take the flag;
// before them it is cleared afterwards).
SOCKET OpenTcpSocket() {
    constexpr DWORD kFlags = WSA_FLAG_OVERLAPPED;  // what socket() gives
    SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                          kFlags | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
        s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, kFlags);
        if (s != INVALID_SOCKET)
            SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    }
    return s;
}

// At most this much per send. Windows may take all of a non-blocking send once there is room
// in the send buffer, however large it is; in pieces of this size the data queued stays near
// the buffer's size (see Connect), at most one piece beyond it.
constexpr size_t kMaxSendBytes = 16 * 1024;

int ClampToInt(size_t length) {
    return length > INT_MAX ? INT_MAX : static_cast<int>(length);
}

// One select on s for at most ms: 1 when s is ready for what, 0 when not yet, -1 on failure.
// Only the asked-for set is watched: out-of-band data from the server, which shows in the
// exception set until it is read, must not pass for a writable socket.
int SelectOnce(SOCKET s, SocketWait what, int ms) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(s, &ready);
    timeval wait{ms / 1000, (ms % 1000) * 1000};
    const bool writing = what == SocketWait::kWritable;
    if (select(0, writing ? nullptr : &ready, writing ? &ready : nullptr, nullptr, &wait) < 0)
        return -1;
    return FD_ISSET(s, &ready) ? 1 : 0;
}

// The same for a connect in progress: 1 once it ended, which Windows shows in the write set
// when it succeeded and in the exception set when it failed.
int SelectConnectOnce(SOCKET s, int ms) {
    fd_set connected;
    fd_set failed;
    FD_ZERO(&connected);
    FD_ZERO(&failed);
    FD_SET(s, &connected);
    FD_SET(s, &failed);
    timeval wait{ms / 1000, (ms % 1000) * 1000};
    if (select(0, nullptr, &connected, &failed, &wait) < 0)
        return -1;
    return FD_ISSET(s, &connected) || FD_ISSET(s, &failed) ? 1 : 0;
}

// Repeats selectOnce(ms), a wait of at most one wake-up check, until it reports ready (true),
// the deadline passes or Shutdown was called (false). Ready counts only while the deadline has
// not passed, so a socket that keeps reporting ready while its caller still cannot go on never
// holds the caller past it.
template <typename SelectOnceFor>
bool WaitUntilReady(const std::atomic<bool>& shut, Clock::time_point deadline,
                    SelectOnceFor selectOnce) {
    for (;;) {
        if (shut.load())
            return false;
        const int left = MillisLeft(deadline);
        const int r = selectOnce(left < kWakeCheckMs ? left : kWakeCheckMs);
        if (r < 0)
            return false;
        if (r > 0)
            return left > 0 && !shut.load();
        if (left <= kWakeCheckMs)
            return false;
    }
}

// The detached threads run from a pinned module: a thread that is still looking up a name when
// the application unloads stream.dll keeps the DLL loaded until it ends, and its last step,
// FreeLibraryAndExitThread, never returns into the DLL's code.
struct DetachedJob {
    std::function<void()> job;
    HMODULE module;
};

DWORD WINAPI RunDetachedJob(void* parameter) {
    HMODULE module = nullptr;
    {
        const std::unique_ptr<DetachedJob> job(static_cast<DetachedJob*>(parameter));
        module = job->module;
        try {
            job->job();
        } catch (...) {
            // Nothing waits for this thread's outcome beyond what the job itself records.
        }
    }
    FreeLibraryAndExitThread(module, 0);
}

}  // namespace

namespace socket_shared {

bool SetNonBlocking(SOCKET s, bool on) {
    u_long mode = on ? 1 : 0;
    return ioctlsocket(s, FIONBIO, &mode) == 0;
}

std::string LookUpIpv4(const std::string& host) {
    const std::wstring name = basis::WideFromUtf8(host);
    if (!WinsockReady() || name.empty())
        return {};
    ADDRINFOW hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* result = nullptr;
    if (GetAddrInfoW(name.c_str(), nullptr, &hints, &result) != 0 || result == nullptr)
        return {};
    char text[INET_ADDRSTRLEN] = {};
    const auto* sin = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
    const bool ok = inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text) != nullptr;
    FreeAddrInfoW(result);
    return ok ? std::string(text) : std::string();
}

bool RunDetached(std::function<void()> job) {
    static const char kInThisModule = 0;
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&kInThisModule), &module))
        return false;
    auto detached = std::make_unique<DetachedJob>(DetachedJob{std::move(job), module});
    const HANDLE thread = CreateThread(nullptr, 0, RunDetachedJob, detached.get(), 0, nullptr);
    if (thread == nullptr) {
        FreeLibrary(module);
        return false;
    }
    detached.release();  // the thread owns it now
    CloseHandle(thread);
    return true;
}

}  // namespace socket_shared

IoResult TcpSocket::RawIo::SendSome(const void* data, size_t length) {
    const int n = send(socket_.fd_.load(), static_cast<const char*>(data),
                       ClampToInt(std::min(length, kMaxSendBytes)), 0);
    if (n != SOCKET_ERROR)
        return {n, false, false};
    const bool again = WSAGetLastError() == WSAEWOULDBLOCK;
    return {0, again, !again};
}

IoResult TcpSocket::RawIo::ReceiveSome(void* data, size_t length) {
    const int n = recv(socket_.fd_.load(), static_cast<char*>(data), ClampToInt(length), 0);
    if (n != SOCKET_ERROR)
        return {n, false, false};
    const bool again = WSAGetLastError() == WSAEWOULDBLOCK;
    return {0, again, !again};
}

bool TcpSocket::WaitFor(SOCKET fd, SocketWait what, Clock::time_point deadline) const {
    return WaitUntilReady(shut_, deadline, [fd, what](int ms) { return SelectOnce(fd, what, ms); });
}

bool TcpSocket::WaitForTls(TlsSession::Step step, Clock::time_point deadline) const {
    const SOCKET fd = fd_.load();
    if (fd == INVALID_SOCKET || shut_.load() || Clock::now() >= deadline)
        return false;
    const SocketWait what =
        step == TlsSession::Step::kWantWrite ? SocketWait::kWritable : SocketWait::kReadable;
    const int left = MillisLeft(deadline);
    return SelectOnce(fd, what, left < kWakeCheckMs ? left : kWakeCheckMs) >= 0 && !shut_.load();
}

bool TcpSocket::Connect(const std::string& address, int port, int timeoutMs) {
    Close();
    if (!WinsockReady())
        return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<u_short>(port));
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1)
        return false;
    const SOCKET fd = OpenTcpSocket();
    if (fd == INVALID_SOCKET)
        return false;
    fd_.store(fd);
    if (shut_.load())
        return false;  // Shutdown came before there was a socket to shut down
    // Windows has no limit on the unsent data alone (Linux's TCP_NOTSENT_LOWAT, 16 KiB there).
    // Its nearest: a fixed send buffer of 64 KiB, which on Windows holds the unacknowledged
    // data too. A send then takes as long as the line needs once 64 KiB wait, so the caller
    // sees a slow line's pace after up to 64 KiB (and one send's 16 KiB) instead of 16 KiB of
    // buffered media; a fixed size also stops Windows from growing the buffer on its own.
    SetIntOption(fd, SOL_SOCKET, SO_SNDBUF, 65536);
    SetIntOption(fd, SOL_SOCKET, SO_RCVBUF, 65536);
    SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    WatchForDeadPeer(fd);
    if (!socket_shared::SetNonBlocking(fd, true))
        return false;
    const auto deadline = DeadlineAfter(timeoutMs);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        if (WSAGetLastError() != WSAEWOULDBLOCK)
            return false;
        // select, not WSAPoll: before Windows 10 (2004) WSAPoll never reports a refused connect.
        if (!WaitUntilReady(shut_, deadline, [fd](int ms) { return SelectConnectOnce(fd, ms); }))
            return false;
        int error = 0;
        int len = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) != 0 ||
            error != 0)
            return false;
    }
    return true;  // stays non-blocking: every wait is a select
}

long TcpSocket::Receive(void* data, size_t length) {
    const SOCKET fd = fd_.load();
    if (fd == INVALID_SOCKET || shut_.load())
        return -1;
    if (tls_)
        return TlsReceive(data, length, Clock::time_point::max());
    for (;;) {
        const IoResult r = raw_.ReceiveSome(data, length);
        if (!r.wouldBlock)
            return r.failed ? -1 : r.bytes;
        if (!WaitFor(fd, SocketWait::kReadable, Clock::time_point::max()))
            return -1;
    }
}

// Only the sending side is shut down: Windows resets a connection when data is waiting or
// arrives after SD_RECEIVE, which would drop what is still queued for the server. The server
// sees the end as on Linux; a waiting thread wakes at its next check of Shutdown.
void TcpSocket::Shutdown() noexcept {
    shut_.store(true);
    const SOCKET fd = fd_.load();
    if (fd != INVALID_SOCKET)
        shutdown(fd, SD_SEND);
}

void TcpSocket::Close() noexcept {
    tls_.reset();
    const SOCKET fd = fd_.exchange(INVALID_SOCKET);
    if (fd != INVALID_SOCKET) {
        shutdown(fd, SD_SEND);
        closesocket(fd);
    }
}

}  // namespace rtmp
