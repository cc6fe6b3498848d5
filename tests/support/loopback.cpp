#include "support/loopback.h"

namespace rtmp::test {

Socket AcceptUntil(Socket listener, const std::atomic<bool>& stop) {
    while (!stop.load()) {
        const int ready = WaitReadable(listener, 50);
        if (ready < 0)
            return kNoSocket;
        // A connection given up before it was taken leaves nothing to accept: wait again.
        if (const Socket accepted = ready > 0 ? Accept(listener) : kNoSocket; accepted != kNoSocket)
            return accepted;
    }
    return kNoSocket;
}

}  // namespace rtmp::test
