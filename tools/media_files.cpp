#include "media_files.h"

#include <fstream>
#include <iterator>

#include "basis/adts.h"
#include "basis/annexb.h"

namespace rtmp::media {
namespace {

using basis::FindStartCode;

constexpr std::size_t kAdtsFixedHeader = basis::kAdtsHeaderSize;
constexpr std::size_t kAdtsCrcHeader = kAdtsFixedHeader + 2;

bool IsSlice(uint8_t type) {
    return type >= 1 && type <= 5;
}

// Types that may only open an access unit, never follow its first slice.
bool OpensAccessUnit(uint8_t type) {
    return type == kNalSei || type == kNalSps || type == kNalPps || (type >= 14 && type <= 18);
}

void Append(AccessUnit& au, std::span<const uint8_t> nal, uint8_t type) {
    static constexpr uint8_t kStartCode[] = {0, 0, 0, 1};
    au.data.insert(au.data.end(), std::begin(kStartCode), std::end(kStartCode));
    au.data.insert(au.data.end(), nal.begin(), nal.end());
    au.nalTypes.push_back(type);
}

}  // namespace

std::vector<std::span<const uint8_t>> SplitNalUnits(std::span<const uint8_t> stream) {
    std::vector<std::span<const uint8_t>> units;
    std::size_t code = FindStartCode(stream, 0);
    while (code < stream.size()) {
        const std::size_t begin = code + 3;  // FindStartCode guarantees three bytes at `code`
        const std::size_t next = FindStartCode(stream, begin);
        std::size_t end = next;
        // Zero bytes before the next start code are its leading zero or trailing padding.
        while (end > begin && stream[end - 1] == 0) {
            --end;
        }
        if (end > begin) {
            units.push_back(stream.subspan(begin, end - begin));
        }
        code = next;
    }
    return units;
}

std::vector<AccessUnit> SplitAccessUnits(std::span<const uint8_t> stream) {
    std::vector<AccessUnit> units;
    AccessUnit current;
    auto flush = [&units, &current] {
        if (!current.data.empty()) {
            units.push_back(std::move(current));
        }
        current = AccessUnit{};
    };
    for (std::span<const uint8_t> nal : SplitNalUnits(stream)) {
        const auto type = static_cast<uint8_t>(nal[0] & 0x1F);  // nal is never empty
        if (type == kNalAud) {
            flush();
            continue;
        }
        if (OpensAccessUnit(type) && current.hasPicture) {
            flush();
        } else if (IsSlice(type)) {
            // first_mb_in_slice is ue(v): its first bit is 1 exactly when it is 0.
            const bool firstSlice = nal.size() >= 2 && (nal[1] & 0x80) != 0;
            if (firstSlice && current.hasPicture) {
                flush();
            }
        }
        Append(current, nal, type);
        if (IsSlice(type)) {
            current.hasPicture = true;
            current.keyFrame = current.keyFrame || type == kNalIdr;
        }
    }
    flush();
    return units;
}

std::optional<AdtsFrame> ParseAdtsHeader(std::span<const uint8_t> b, std::string* error) {
    auto fail = [error](const char* why) {
        if (error != nullptr) {
            *error = why;
        }
        return std::nullopt;
    };
    if (b.size() < kAdtsFixedHeader) {
        if (error != nullptr) {
            error->clear();
        }
        return std::nullopt;
    }
    if (b[0] != 0xFF || (b[1] & 0xF0) != 0xF0) {
        return fail("no ADTS sync word");
    }
    if ((b[1] & 0x06) != 0) {
        return fail("ADTS layer is not 0");
    }
    AdtsFrame f;
    f.headerSize =
        (b[1] & 0x01) != 0 ? static_cast<int>(kAdtsFixedHeader) : static_cast<int>(kAdtsCrcHeader);
    f.profile = (b[2] >> 6) + 1;
    f.sampleRateIndex = (b[2] >> 2) & 0x0F;
    f.sampleRate = AdtsSampleRate(f.sampleRateIndex);
    if (f.sampleRate == 0) {
        return fail("reserved ADTS sampling frequency index");
    }
    f.channelConfig = ((b[2] & 0x01) << 2) | (b[3] >> 6);
    f.size = basis::AdtsFrameSize(b.data());
    f.rawBlocks = (b[6] & 0x03) + 1;
    if (f.size <= static_cast<std::size_t>(f.headerSize)) {
        return fail("ADTS frame length does not exceed its header");
    }
    return f;
}

AdtsSplit SplitAdtsFrames(std::span<const uint8_t> stream) {
    AdtsSplit out;
    std::size_t pos = 0;
    while (pos < stream.size()) {
        const std::span<const uint8_t> rest = stream.subspan(pos);
        if (rest.size() < kAdtsFixedHeader) {
            out.truncated = true;
            break;
        }
        std::string why;
        std::optional<AdtsFrame> frame = ParseAdtsHeader(rest, &why);
        if (!frame) {
            out.error = why + " at offset " + std::to_string(pos);
            break;
        }
        if (frame->size > rest.size()) {
            out.truncated = true;
            break;
        }
        frame->offset = pos;
        pos += frame->size;
        out.frames.push_back(*frame);
    }
    out.consumed = pos;
    return out;
}

std::optional<std::vector<uint8_t>> ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    if (in.bad()) {
        return std::nullopt;
    }
    return bytes;
}

}  // namespace rtmp::media
