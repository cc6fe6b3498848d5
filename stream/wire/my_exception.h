// Failures inside the RTMP library. Thrown on a broken stream or a failed command; never
// crosses an exported function.
#pragma once

namespace rtmp {

enum MyException : int {
    MYEX_HEADER = 0,     // bad chunk header
    MYEX_SIZE = 2,       // chunk data runs past the message length, or a length is impossible
    MYEX_PUBLISH = 4,    // publish or close-stream step failed
    MYEX_NESTING = 6,    // AMF objects nested deeper than the reader accepts
    MYEX_CHUNKSIZE = 8,  // peer announced a chunk size of 0 or below, or above 16 MiB
};

}  // namespace rtmp
