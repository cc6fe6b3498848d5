#include "wire/amf.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "log/log.h"
#include "wire/my_exception.h"

namespace rtmp {
namespace {

// AMF0 strings carry a 16-bit length; longer texts are cut at this many bytes.
constexpr size_t kMaxShortString = 0xFFFF;

// Length of s, counting no further than limit.
size_t BoundedLength(const char* s, size_t limit) {
    size_t n = 0;
    while (n < limit && s[n] != '\0')
        ++n;
    return n;
}

// Integer part of d (toward zero), reduced to its low 32 bits. NaN and infinities give 0.
int TruncateToInt32(double d) {
    if (!std::isfinite(d))
        return 0;
    // fmod is exact, so the result keeps the low 32 bits of the integer part and lies
    // strictly between -2^32 and 2^32, where the conversion to 64 bits is defined.
    const double low = std::fmod(std::trunc(d), 4294967296.0);
    return static_cast<int>(static_cast<uint32_t>(static_cast<int64_t>(low)));
}

// How ReadValue handles a marker.
enum class Handling {
    kNumber,
    kBoolean,
    kString,
    kLongString,
    kObject,
    kTypedObject,
    kNull,
    kReference,
    kMap,
    kStrictArray,
    kDate,
    kXml,
    kCustom,
    kFiller
};

Handling HandlingOf(uint8_t marker) {
    switch (marker) {
        case AMF_NUMBER:
            return Handling::kNumber;
        case AMF_BOOLEAN:
            return Handling::kBoolean;
        case AMF_STRING:
            return Handling::kString;
        case AMF_LONG_STRING:
            return Handling::kLongString;
        case AMF_OBJECT:
            return Handling::kObject;
        case AMF_TYPED_OBJECT:
            return Handling::kTypedObject;
        case AMF_NULL:
        case AMF_UNDEFINED:
            return Handling::kNull;
        case AMF_REFERENCE:
            return Handling::kReference;
        case AMF_ECMA_ARRAY:
            return Handling::kMap;
        case AMF_STRICT_ARRAY:
            return Handling::kStrictArray;
        case AMF_DATE:
            return Handling::kDate;
        case AMF_XML:
            return Handling::kXml;
        case AMF_MOVIECLIP:
        case AMF_UNSUPPORTED:
        case AMF_RECORDSET:
            return Handling::kCustom;
        default:  // 0x09 and 0x11..0xFF
            return Handling::kFiller;
    }
}

void LogRaw(const char* text) {
    if (log::LinesOn())
        log::WriteLog(text);
}

// Writes a 16-bit length and the bytes of s (cut at 65535 bytes); room must be reserved.
void PutShortString(ByteBuffer& out, const char* s, size_t n) {
    out.PutInt16(static_cast<uint32_t>(n));
    out.PutBytes(s, static_cast<int>(n));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// ParamList

bool ParamList::Add(const char* name, const char* value) {
    if (name == nullptr || value == nullptr)
        return false;
    const size_t nameLen = BoundedLength(name, kMaxName + 1);
    const size_t valueLen = BoundedLength(value, kMaxValue + 1);
    if (nameLen == 0 || nameLen > kMaxName || valueLen == 0 || valueLen > kMaxValue)
        return false;
    if (Count() >= kMaxEntries)
        return false;
    entries_.push_back(Entry{std::string(name, nameLen), std::string(value, valueLen)});
    return true;
}

bool ParamList::SetKey(const char* name) {
    if (name == nullptr)
        return false;
    const size_t n = BoundedLength(name, kMaxName + 1);
    if (n > kMaxName)
        return false;
    pendingKey_.assign(name, n);
    return true;
}

bool ParamList::AddValue(const char* text) {
    Add(pendingKey_.c_str(), text);
    pendingKey_.clear();
    return true;
}

bool ParamList::AddInt(int v) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", v);
    return AddValue(text);
}

const char* ParamList::Find(const char* name) const {
    if (name == nullptr)
        return "";
    for (const Entry& e : entries_) {
        if (e.name == name)
            return e.value.c_str();
    }
    return "";
}

const ParamList::Entry* ParamList::Get(int i) const {
    if (i < 0 || i >= Count())
        return nullptr;
    return &entries_[static_cast<size_t>(i)];
}

// ---------------------------------------------------------------------------------------------
// AmfWriter

void AmfWriter::WriteNumber(ByteBuffer& out, double d) {
    out.Reserve(9);
    out.PutByte(AMF_NUMBER);
    out.PutDouble(d);
}

void AmfWriter::WriteBoolean(ByteBuffer& out, int b) {
    out.Reserve(2);
    out.PutByte(AMF_BOOLEAN);
    out.PutByte(static_cast<uint32_t>(b) & 0xFF);
}

void AmfWriter::WriteString(ByteBuffer& out, const char* s) {
    if (s == nullptr)
        return;
    const size_t n = BoundedLength(s, kMaxShortString);
    out.Reserve(static_cast<int>(3 + n));
    out.PutByte(AMF_STRING);
    PutShortString(out, s, n);
}

void AmfWriter::WriteNull(ByteBuffer& out) {
    out.Reserve(1);
    out.PutByte(AMF_NULL);
}

void AmfWriter::WriteObjectStart(ByteBuffer& out) {
    out.Reserve(1);
    out.PutByte(AMF_OBJECT);
}

void AmfWriter::WriteEcmaArrayStart(ByteBuffer& out, uint32_t n) {
    out.Reserve(5);
    out.PutByte(AMF_ECMA_ARRAY);
    out.PutInt32(n);
}

void AmfWriter::WriteObjectEnd(ByteBuffer& out) {
    out.Reserve(3);
    out.PutInt16(0);
    out.PutByte(AMF_OBJECT_END);
}

void AmfWriter::WriteStringProperty(ByteBuffer& out, const char* name, const char* s) {
    if (name == nullptr || s == nullptr || name[0] == '\0')
        return;
    const size_t nameLen = BoundedLength(name, kMaxShortString);
    const size_t n = BoundedLength(s, kMaxShortString);
    out.Reserve(static_cast<int>(2 + nameLen + 3 + n));
    PutShortString(out, name, nameLen);
    out.PutByte(AMF_STRING);
    PutShortString(out, s, n);
}

void AmfWriter::WriteNumberProperty(ByteBuffer& out, const char* name, double d) {
    if (name == nullptr || name[0] == '\0')
        return;
    const size_t nameLen = BoundedLength(name, kMaxShortString);
    out.Reserve(static_cast<int>(2 + nameLen + 9));
    PutShortString(out, name, nameLen);
    out.PutByte(AMF_NUMBER);
    out.PutDouble(d);
}

void AmfWriter::WriteBooleanProperty(ByteBuffer& out, const char* name, int b) {
    if (name == nullptr || name[0] == '\0')
        return;
    const size_t nameLen = BoundedLength(name, kMaxShortString);
    out.Reserve(static_cast<int>(2 + nameLen + 2));
    PutShortString(out, name, nameLen);
    out.PutByte(AMF_BOOLEAN);
    out.PutByte(static_cast<uint32_t>(b) & 0xFF);
}

// ---------------------------------------------------------------------------------------------
// AmfReader

void AmfReader::Require(const ByteBuffer& in, int n, const char* what) const {
    if (n < 0 || in.Remaining() < n)
        throw AmfTruncated(std::string("AMF value cut short: ") + what);
}

bool AmfReader::ReadValue(ByteBuffer& in) {
    return ReadValueAt(in, 0);
}

int AmfReader::ReadObject(ByteBuffer& in) {
    return ReadObjectAt(in, 1);
}

bool AmfReader::ObjectContinues(ByteBuffer& in) {
    if (in.Remaining() < 3) {
        log::ShowText("}End Buffer");
        return false;
    }
    if (in.PeekByte(0) == 0 && in.PeekByte(1) == 0 && in.PeekByte(2) == AMF_OBJECT_END) {
        in.Skip(3);
        log::ShowText("}End Params");
        return false;
    }
    return true;
}

std::string AmfReader::ReadString(ByteBuffer& in, bool longLength) {
    uint32_t len = 0;
    if (longLength) {
        Require(in, 4, "long string length");
        len = in.GetInt32();
    } else {
        Require(in, 2, "string length");
        len = in.GetInt16();
    }
    if (len > static_cast<uint32_t>(INT_MAX))
        throw AmfTruncated("AMF value cut short: string bytes");
    Require(in, static_cast<int>(len), "string bytes");
    // The text ends at its first NUL byte, if it holds one.
    const char* bytes = reinterpret_cast<const char*>(in.Current());
    const void* nul = len > 0 ? std::memchr(bytes, 0, len) : nullptr;
    const size_t textLen = nul != nullptr
                               ? static_cast<size_t>(static_cast<const char*>(nul) - bytes)
                               : static_cast<size_t>(len);
    std::string text(bytes, textLen);
    in.Skip(static_cast<int>(len));
    if (log::LinesOn()) {
        log::WriteLog("string:");
        log::ShowText(text.c_str());
    }
    if (list_ != nullptr)
        list_->AddValue(text.c_str());
    return text;
}

int AmfReader::ReadObjectAt(ByteBuffer& in, int depth) {
    if (depth > kMaxDepth)
        throw MYEX_NESTING;
    log::ShowText("Params:{");
    int count = 0;
    while (ObjectContinues(in)) {
        LogRaw("Key:");
        const std::string name = ReadString(in, false);
        if (list_ != nullptr)
            list_->SetKey(name.c_str());
        LogRaw("Value:");
        if (!ReadValueAt(in, depth))
            throw AmfTruncated("AMF value cut short: property value");
        ++count;
    }
    return count;
}

bool AmfReader::ReadValueAt(ByteBuffer& in, int depth) {
    Handling handling = Handling::kFiller;
    while (handling == Handling::kFiller) {
        if (in.Remaining() < 1)
            return false;
        handling = HandlingOf(in.GetByte());
    }

    int v = 0;
    switch (handling) {
        case Handling::kNull:
            log::ShowText("NULL:");
            break;
        case Handling::kBoolean:
            Require(in, 1, "boolean");
            v = in.GetByte();
            log::ShowFMT("bool:%d", v);
            break;
        case Handling::kNumber:
            Require(in, 8, "number");
            v = TruncateToInt32(in.GetDouble());
            log::ShowFMT("double:%d", v);
            break;
        case Handling::kString:
            ReadString(in, false);
            break;
        case Handling::kLongString:
            ReadString(in, true);
            break;
        case Handling::kDate:
            log::ShowText("Date:XX");
            Require(in, 10, "date");
            in.Skip(10);
            break;
        case Handling::kStrictArray: {
            if (depth + 1 > kMaxDepth)
                throw MYEX_NESTING;
            Require(in, 4, "array count");
            const uint32_t n = in.GetInt32();
            log::ShowFMT("Array:ArrayLen=%d", static_cast<int>(n));
            // Every element takes at least its marker byte.
            if (n > static_cast<uint32_t>(in.Remaining()))
                throw AmfTruncated("AMF value cut short: array elements");
            for (uint32_t i = 0; i < n; ++i) {
                if (!ReadValueAt(in, depth + 1))
                    throw AmfTruncated("AMF value cut short: array element");
            }
            break;
        }
        case Handling::kMap: {
            Require(in, 4, "map count");
            const uint32_t n = in.GetInt32();
            log::ShowFMT("MapNum:%d", static_cast<int>(n));
            ReadObjectAt(in, depth + 1);
            break;
        }
        case Handling::kTypedObject: {
            Require(in, 2, "class name length");
            const uint32_t len = in.GetInt16();
            Require(in, static_cast<int>(len), "class name");
            if (log::LinesOn()) {
                const std::string name(reinterpret_cast<const char*>(in.Current()), len);
                log::WriteLog("Class:");
                log::ShowText(name.c_str());
            }
            in.Skip(static_cast<int>(len));
            ReadObjectAt(in, depth + 1);
            break;
        }
        case Handling::kObject:
            ReadObjectAt(in, depth + 1);
            break;
        case Handling::kXml:
            log::ShowText("XML:XX");
            break;
        case Handling::kReference:
            log::ShowText("REFERENCE:XX");
            break;
        case Handling::kCustom:
        case Handling::kFiller:
            log::ShowText("ReadCustom:XX");
            break;
    }
    if (list_ != nullptr)
        list_->AddInt(v);
    return true;
}

}  // namespace rtmp
