// The system's handle of a socket, for the portable declarations of the socket layer: a file
// descriptor on POSIX systems, a SOCKET (unsigned and pointer-sized) on Windows.
#pragma once

#include <cstdint>

namespace rtmp {

#ifdef _WIN32
using NativeSocket = std::uintptr_t;                         // SOCKET
inline constexpr NativeSocket kNoSocket = ~NativeSocket{0};  // INVALID_SOCKET
#else
using NativeSocket = int;
inline constexpr NativeSocket kNoSocket = -1;
#endif

// What a wait on a socket waits for.
enum class SocketWait { kReadable, kWritable };

}  // namespace rtmp
