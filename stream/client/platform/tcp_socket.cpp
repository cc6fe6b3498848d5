// The part of TcpSocket that is the same on every system: name lookups that outlive a caller's
// wait, the TLS session's steps and the loops that send or receive whole buffers. The system's
// own calls are in tcp_socket_posix.cpp and tcp_socket_win.cpp.
#include "client/platform/tcp_socket.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "client/platform/tcp_socket_shared.h"

namespace rtmp {
namespace {

using socket_shared::Clock;
using socket_shared::DeadlineAfter;
using socket_shared::kWakeCheckMs;

// A name lookup on a thread of its own, which shares only this record: a lookup that outlives
// its caller's wait finishes without touching any socket, and its answer serves the next caller.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;         // guarded by mutex
    std::string address;           // guarded by mutex; empty: the name did not resolve
    Clock::time_point finishedAt;  // guarded by mutex
};

// How long an answer is used again before the name is looked up anew.
constexpr auto kLookupKept = std::chrono::seconds(60);

// The lookup of host in flight, a recent answer, or a new lookup. One lookup per name at a
// time, so that a slow resolver is waited for across attempts instead of asked again each time.
std::shared_ptr<Lookup> LookupFor(const std::string& host) {
    static std::mutex mutex;
    static std::map<std::string, std::shared_ptr<Lookup>> lookups;  // guarded by mutex
    std::lock_guard<std::mutex> lock(mutex);
    std::shared_ptr<Lookup>& slot = lookups[host];
    if (slot) {
        std::lock_guard<std::mutex> slotLock(slot->mutex);
        if (!slot->finished ||
            (!slot->address.empty() && Clock::now() - slot->finishedAt < kLookupKept))
            return slot;
    }
    auto lookup = std::make_shared<Lookup>();
    const bool started = socket_shared::RunDetached([lookup, host] {
        std::string address = socket_shared::LookUpIpv4(host);
        {
            std::lock_guard<std::mutex> done(lookup->mutex);
            lookup->finished = true;
            lookup->address = std::move(address);
            lookup->finishedAt = Clock::now();
        }
        lookup->done.notify_all();
    });
    if (!started) {
        lookup->finished = true;  // no thread to be had: no address
        return lookup;
    }
    slot = lookup;
    return lookup;
}

bool IsDottedAddress(const std::string& host) {
    if (host.empty())
        return false;
    for (char c : host) {
        if (!((c >= '0' && c <= '9') || c == '.'))
            return false;
    }
    return true;
}

}  // namespace

std::string TcpSocket::Resolve(const std::string& host, int timeoutMs) {
    if (IsDottedAddress(host))
        return host;
    const std::shared_ptr<Lookup> lookup = LookupFor(host);
    const auto deadline = DeadlineAfter(timeoutMs);
    std::unique_lock<std::mutex> lock(lookup->mutex);
    while (!lookup->finished && !shut_.load() && Clock::now() < deadline) {
        lookup->done.wait_until(lock, std::min(deadline, DeadlineAfter(kWakeCheckMs)));
    }
    return lookup->finished && !shut_.load() ? lookup->address : std::string();
}

bool TcpSocket::StartTls(const std::string& host, const std::string& caFile, int timeoutMs,
                         ConnectFailure* failure) {
    const NativeSocket fd = fd_.load();
    failure->kind = RTMP_ERROR_TLS;
    failure->text = "no TLS session with " + host + ": the connection ended";
    if (shut_.load())
        *failure = ConnectFailure{RTMP_ERROR_OTHER, "disconnected"};
    if (fd == kNoSocket || shut_.load() || !socket_shared::SetNonBlocking(fd, true))
        return false;
    // The time limit covers the session's set-up too: the first one reads the system's trusted
    // authorities, which can take a while, and cannot be woken meanwhile.
    const auto deadline = DeadlineAfter(timeoutMs);
    tls_ = TlsSession::Create(raw_, host, caFile, failure);
    if (!tls_)
        return false;
    if (shut_.load()) {
        *failure = ConnectFailure{RTMP_ERROR_OTHER, "disconnected"};
        return false;
    }
    for (;;) {
        const TlsSession::Step step = tls_->Handshake(failure);
        if (step == TlsSession::Step::kDone)
            return true;
        // A Disconnect says nothing about the server, also when it broke the handshake.
        if (shut_.load()) {
            *failure = ConnectFailure{RTMP_ERROR_OTHER, "disconnected"};
            return false;
        }
        if (step != TlsSession::Step::kWantRead && step != TlsSession::Step::kWantWrite)
            return false;
        if (!WaitForTls(step, deadline)) {
            // A Disconnect says nothing about the server.
            *failure = shut_.load() ? ConnectFailure{RTMP_ERROR_OTHER, "disconnected"}
                                    : ConnectFailure{RTMP_ERROR_TLS,
                                                     "no TLS session with " + host +
                                                         ": the server did not answer in time "
                                                         "(is it an RTMPS port?)"};
            return false;
        }
    }
}

long TcpSocket::TlsReceive(void* data, size_t length, Clock::time_point deadline) {
    for (;;) {
        if (shut_.load())
            return -1;
        const TlsSession::Result r = tls_->Read(data, length);
        switch (r.step) {
            case TlsSession::Step::kDone:
                return static_cast<long>(r.bytes);
            case TlsSession::Step::kClosed:
                return 0;
            case TlsSession::Step::kWantRead:
            case TlsSession::Step::kWantWrite:
                if (!WaitForTls(r.step, deadline))
                    return -1;
                break;
            default:
                return -1;
        }
    }
}

bool TcpSocket::SendAll(const void* data, size_t length, int timeoutMs) {
    const NativeSocket fd = fd_.load();
    if (fd == kNoSocket)
        return false;
    const auto* p = static_cast<const uint8_t*>(data);
    const auto deadline = DeadlineAfter(timeoutMs);
    while (length > 0 && tls_) {
        if (shut_.load())
            return false;
        const TlsSession::Result r = tls_->Write(p, length);
        if (r.step == TlsSession::Step::kDone) {
            p += r.bytes;
            length -= r.bytes;
        } else if (r.step != TlsSession::Step::kWantRead &&
                   r.step != TlsSession::Step::kWantWrite) {
            return false;
        } else if (!WaitForTls(r.step, deadline)) {
            return false;
        }
    }
    while (length > 0) {
        const IoResult r = raw_.SendSome(p, length);
        if (r.bytes > 0) {
            p += r.bytes;
            length -= static_cast<size_t>(r.bytes);
        } else if (!r.wouldBlock || !WaitFor(fd, SocketWait::kWritable, deadline)) {
            return false;
        }
    }
    return true;
}

bool TcpSocket::ReceiveExactly(void* data, size_t length, int timeoutMs) {
    const NativeSocket fd = fd_.load();
    if (fd == kNoSocket)
        return false;
    auto* p = static_cast<uint8_t*>(data);
    const auto deadline = DeadlineAfter(timeoutMs);
    while (length > 0 && tls_) {
        const long n = TlsReceive(p, length, deadline);
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    while (length > 0) {
        if (!WaitFor(fd, SocketWait::kReadable, deadline))
            return false;
        const IoResult r = raw_.ReceiveSome(p, length);
        if (r.bytes > 0) {
            p += r.bytes;
            length -= static_cast<size_t>(r.bytes);
        } else if (!r.wouldBlock) {
            return false;  // closed by the peer, or broken
        }
    }
    return true;
}

}  // namespace rtmp
