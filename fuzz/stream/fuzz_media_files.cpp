// Feeds arbitrary bytes to the H.264 access-unit splitter (first byte even) or the ADTS frame
// splitter (first byte odd) and checks what they return against the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "media_files.h"

namespace {

void Check(bool ok) {
    if (!ok)
        std::abort();
}

void FuzzAnnexB(std::span<const uint8_t> input) {
    std::size_t nalBytes = 0;
    for (std::span<const uint8_t> nal : rtmp::media::SplitNalUnits(input)) {
        Check(!nal.empty());
        Check(nal.data() >= input.data() && nal.data() + nal.size() <= input.data() + input.size());
        Check(nal.back() != 0);
        nalBytes += nal.size();
    }
    std::size_t auBytes = 0;
    for (const rtmp::media::AccessUnit& au : rtmp::media::SplitAccessUnits(input)) {
        Check(!au.nalTypes.empty());
        Check(au.data.size() >= 5 * au.nalTypes.size());
        Check(au.data[0] == 0 && au.data[1] == 0 && au.data[2] == 0 && au.data[3] == 1);
        for (uint8_t type : au.nalTypes)
            Check(type != rtmp::media::kNalAud && type < 32);
        auBytes += au.data.size() - 4 * au.nalTypes.size();
    }
    Check(auBytes <= nalBytes);
}

void FuzzAdts(std::span<const uint8_t> input) {
    const rtmp::media::AdtsSplit split = rtmp::media::SplitAdtsFrames(input);
    std::size_t expected = 0;
    for (const rtmp::media::AdtsFrame& f : split.frames) {
        Check(f.offset == expected);
        Check(f.size > static_cast<std::size_t>(f.headerSize) && f.size < 8192);
        Check(f.offset + f.size <= input.size());
        Check(f.sampleRate > 0 && f.rawBlocks >= 1 && f.rawBlocks <= 4);
        expected += f.size;
    }
    Check(split.consumed == expected && split.consumed <= input.size());
    Check(!(split.truncated && !split.error.empty()));
    Check(split.consumed == input.size() || split.truncated || !split.error.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::span<const uint8_t> input(data + 1, size - 1);
    ((data[0] & 1) == 0 ? FuzzAnnexB : FuzzAdts)(input);
    return 0;
}
