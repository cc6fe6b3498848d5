// Feeds a byte stream through the chunk layer in blocks: byte 0 picks the cuts (low 3 bits: the
// largest block, 1 << n; high bits: a seed), the rest is the stream. Only MyException and
// AmfTruncated may end a run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "accept_all_listener.h"
#include "log/log.h"
#include "wire/amf.h"
#include "wire/chunk.h"
#include "wire/message_decoder.h"
#include "wire/my_exception.h"

// Error reports go to files whatever the log switches say: a directory of their own, emptied
// now and then.
static std::string g_logDir;
static unsigned g_runs = 0;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/fuzz_chunk_decoderXXXXXX";
    if (mkdtemp(pattern) != nullptr) {
        g_logDir = pattern;
        setenv("VISTREL_LOG_DIR", g_logDir.c_str(), 1);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(g_logDir, ignored);
        });
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 20))
        return 0;
    const int largest = 1 << (data[0] & 7);
    uint32_t seed = (data[0] >> 3) * 2654435761u + 1;
    const uint8_t* stream = data + 1;
    const size_t length = size - 1;

    fuzzing::AcceptAll listener;
    rtmp::MessageDecoder decoder(&listener);
    rtmp::RtmpContext context;
    try {
        size_t at = 0;
        do {
            seed = seed * 1103515245u + 12345u;
            const size_t piece = 1 + (seed >> 16) % static_cast<uint32_t>(largest);
            const size_t n = piece < length - at ? piece : length - at;
            rtmp::ByteBuffer block(static_cast<int>(n));  // a 0-byte block is reset, not flipped
            block.PutBytes(stream + at, static_cast<int>(n));
            block.Flip();
            if (n == 0)
                block.Reset();
            decoder.DecodeReciveUnite(context, block);
            if (block.Position() != 0 || block.Remaining() != static_cast<int>(n))
                __builtin_trap();
            at += n;
        } while (at < length);
        // Whatever was not decoded waits in the leftover: never more than the input.
        if (decoder.Leftover().Remaining() > static_cast<int>(length))
            __builtin_trap();
    } catch (rtmp::MyException) {          // a broken stream: the receive thread would end here
    } catch (const rtmp::AmfTruncated&) {  // a message cut short inside its AMF values
    }
    if (++g_runs % 1024 == 0) {
        rtmp::log::RemoveLogFiles();
        std::remove(rtmp::log::ErrorPath().c_str());
    }
    return 0;
}
