// AMF0 values: flat name/value text pairs, the writer and the flattening reader.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "wire/byte_buffer.h"

namespace rtmp {

// AMF0 markers.
enum AmfMarker : uint8_t {
    AMF_NUMBER = 0x00,
    AMF_BOOLEAN = 0x01,
    AMF_STRING = 0x02,
    AMF_OBJECT = 0x03,
    AMF_MOVIECLIP = 0x04,
    AMF_NULL = 0x05,
    AMF_UNDEFINED = 0x06,
    AMF_REFERENCE = 0x07,
    AMF_ECMA_ARRAY = 0x08,
    AMF_OBJECT_END = 0x09,
    AMF_STRICT_ARRAY = 0x0A,
    AMF_DATE = 0x0B,
    AMF_LONG_STRING = 0x0C,
    AMF_UNSUPPORTED = 0x0D,
    AMF_RECORDSET = 0x0E,
    AMF_XML = 0x0F,
    AMF_TYPED_OBJECT = 0x10,
};

// Decoded AMF0 values as an ordered list of name/value texts. Names are 1..127 characters,
// values 1..8191; one list holds at most kMaxEntries entries (further ones are refused).
class ParamList {
  public:
    static constexpr size_t kMaxName = 127;
    static constexpr size_t kMaxValue = 8191;
    static constexpr int kMaxEntries = 1024;

    struct Entry {
        std::string name;
        std::string value;
    };

    bool Add(const char* name, const char* value);
    bool SetKey(const char* name);
    bool AddValue(const char* text);
    bool AddInt(int v);
    // Value of the first entry named exactly so; "" when absent (never null).
    const char* Find(const char* name) const;
    int Count() const { return static_cast<int>(entries_.size()); }
    // Entry i, or null outside 0..Count()-1.
    const Entry* Get(int i) const;
    void Clear() { entries_.clear(); }
    const char* PendingKey() const { return pendingKey_.c_str(); }

  private:
    std::vector<Entry> entries_;
    std::string pendingKey_;
};

// Writes AMF0 values at the buffer's position, growing the buffer when it lacks room.
class AmfWriter {
  public:
    virtual ~AmfWriter() = default;
    static void WriteNumber(ByteBuffer& out, double d);
    static void WriteBoolean(ByteBuffer& out, int b);
    static void WriteString(ByteBuffer& out, const char* s);  // nothing for null
    static void WriteNull(ByteBuffer& out);
    static void WriteObjectStart(ByteBuffer& out);
    static void WriteEcmaArrayStart(ByteBuffer& out, uint32_t n);
    static void WriteObjectEnd(ByteBuffer& out);
    // Nothing when name or s is null or name is empty.
    static void WriteStringProperty(ByteBuffer& out, const char* name, const char* s);
    // Nothing when name is null or empty.
    static void WriteNumberProperty(ByteBuffer& out, const char* name, double d);
    static void WriteBooleanProperty(ByteBuffer& out, const char* name, int b);
};

// A well-framed message whose AMF0 content ends before its own fields say: the message is
// dropped with a log line, the stream goes on.
class AmfTruncated : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Walks an AMF0 payload once and flattens it into a ParamList, dumping every value to the log.
// Throws AmfTruncated on a value cut short and MyException MYEX_NESTING on objects nested
// deeper than kMaxDepth.
class AmfReader {
  public:
    static constexpr int kMaxDepth = 32;

    virtual ~AmfReader() = default;
    void SetList(ParamList* list) { list_ = list; }
    ParamList* List() const { return list_; }

    // Reads one value (after skipping filler markers). Returns false when only filler (or
    // nothing) was left, so nothing was read.
    bool ReadValue(ByteBuffer& in);
    int ReadObject(ByteBuffer& in);
    bool ObjectContinues(ByteBuffer& in);

  private:
    bool ReadValueAt(ByteBuffer& in, int depth);
    int ReadObjectAt(ByteBuffer& in, int depth);
    std::string ReadString(ByteBuffer& in, bool longLength);
    void Require(const ByteBuffer& in, int n, const char* what) const;

    ParamList* list_ = nullptr;
};

}  // namespace rtmp
