// Parsers for the elementary stream files the command-line tools send and receive: Annex B
// H.264 split into access units, ADTS AAC split into frames. They work on bytes in memory and
// never read past the input.
#ifndef TOOLS_MEDIA_FILES_H
#define TOOLS_MEDIA_FILES_H

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "basis/adts.h"

namespace rtmp::media {

// NAL unit types the splitter looks at.
enum NalType : uint8_t {
    kNalSlice = 1,
    kNalIdr = 5,
    kNalSei = 6,
    kNalSps = 7,
    kNalPps = 8,
    kNalAud = 9,
};

// The NAL units of an Annex B byte stream (3- or 4-byte start codes), without their start codes
// and without trailing zero bytes. Bytes before the first start code and empty units are skipped.
std::vector<std::span<const uint8_t>> SplitNalUnits(std::span<const uint8_t> stream);

struct AccessUnit {
    std::vector<uint8_t> data;      // every NAL unit preceded by 00 00 00 01; no AUD units
    std::vector<uint8_t> nalTypes;  // types of the units in data, in order
    bool keyFrame = false;          // holds an IDR slice
    bool hasPicture = false;        // holds a coded slice (types 1 to 5)
};

// Groups the NAL units of an Annex B stream into access units. A new unit begins at an access
// unit delimiter, at an SPS, PPS, SEI or types 14 to 18 once the current unit has a slice, and at
// a slice whose first_mb_in_slice is 0 once the current unit has a slice. AUD units are dropped,
// units left empty are not returned.
std::vector<AccessUnit> SplitAccessUnits(std::span<const uint8_t> stream);

struct AdtsFrame {
    std::size_t offset = 0;  // of the header in the input
    std::size_t size = 0;    // header and payload
    int headerSize = 7;      // 9 when a CRC follows the fixed header
    int profile = 0;         // audio object type (1 = Main, 2 = LC, ...)
    int sampleRateIndex = 0;
    int sampleRate = 0;
    int channelConfig = 0;
    int rawBlocks = 1;  // AAC frames of 1024 samples in this ADTS frame
};

struct AdtsSplit {
    std::vector<AdtsFrame> frames;
    bool truncated = false;    // the input ends inside a frame; the complete ones are returned
    std::string error;         // set when a header is broken; frames before it are returned
    std::size_t consumed = 0;  // bytes covered by the returned frames
};

// Parses one ADTS header at the start of `bytes`; nullopt (and *error) when it is not one, or
// when fewer than 7 bytes are given (*error left empty then).
std::optional<AdtsFrame> ParseAdtsHeader(std::span<const uint8_t> bytes, std::string* error);

// Splits a whole ADTS file into frames.
AdtsSplit SplitAdtsFrames(std::span<const uint8_t> stream);

// Sampling frequency of an ADTS/AudioSpecificConfig index, 0 for reserved indices.
using basis::AdtsSampleRate;

// Reads a whole file; nullopt when it cannot be read.
std::optional<std::vector<uint8_t>> ReadFileBytes(const std::filesystem::path& path);

}  // namespace rtmp::media

#endif  // TOOLS_MEDIA_FILES_H
