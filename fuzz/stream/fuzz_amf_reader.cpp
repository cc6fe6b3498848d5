// Feeds arbitrary bytes to the AMF0 reader. Short or hostile input may end a read with
// AmfTruncated or MyException; a BufferBoundsError is a missing bounds check and must crash.
#include <cstddef>
#include <cstdint>

#include "wire/amf.h"
#include "wire/byte_buffer.h"
#include "wire/my_exception.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20)
        return 0;
    const int n = static_cast<int>(size);
    rtmp::ByteBuffer in(n);
    in.PutBytes(data, n);
    in.SetLimit(in.Position());
    in.SetPosition(0);

    rtmp::ParamList list;
    rtmp::AmfReader reader;
    reader.SetList(&list);
    try {
        while (in.Remaining() > 0) {
            const int before = in.Position();
            if (!reader.ReadValue(in))
                break;
            if (in.Position() <= before)
                __builtin_trap();  // a value that consumed nothing would loop forever
        }
    } catch (const rtmp::AmfTruncated&) {
    } catch (rtmp::MyException) {
    }
    if (in.Position() > in.Limit() || list.Count() > rtmp::ParamList::kMaxEntries)
        __builtin_trap();
    return 0;
}
