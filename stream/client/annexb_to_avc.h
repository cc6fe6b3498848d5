// Annex B NAL units in a ByteBuffer (4-byte start codes only), moved into the length-prefixed
// form that RTMP video messages carry.
#pragma once

#include "wire/byte_buffer.h"

namespace rtmp {

// Length of the NAL unit at the buffer's position, its start code included: up to the next
// 00 00 00 01, or all remaining bytes (0 when fewer than 4 remain). Position unchanged.
int FindNalEnd(const ByteBuffer& buffer);
// Moves the NAL unit at source's position into target (replacing its content; target is left
// empty when there is none).
void TakeNal(ByteBuffer& target, ByteBuffer& source);
// Appends the NAL unit in nal without its start code, preceded by its 4-byte length; nothing
// when nal holds 4 bytes or fewer.
void PutNalWithLength(ByteBuffer& target, ByteBuffer& nal);
// Skips the NAL unit at source's position.
void SkipNal(ByteBuffer& source);
// Moves the NAL unit at source's position into target without its start code, preceded by its
// length in lengthBytes (2 or 4) bytes, big-endian.
void MoveNalWithLength(ByteBuffer& target, ByteBuffer& source, int lengthBytes);
// Type (low five bits of the header byte) of the NAL unit at the position, or -1 when the
// buffer holds no NAL header there.
int NalType(const ByteBuffer& buffer);

}  // namespace rtmp
