// The system's handle of a test socket: a file descriptor on POSIX systems, a SOCKET (unsigned
// and pointer-sized) on Windows.
#pragma once

#include <cstdint>

namespace rtmp::test {

#ifdef _WIN32
using Socket = std::uintptr_t;                   // SOCKET
inline constexpr Socket kNoSocket = ~Socket{0};  // INVALID_SOCKET
#else
using Socket = int;
inline constexpr Socket kNoSocket = -1;
#endif

}  // namespace rtmp::test
