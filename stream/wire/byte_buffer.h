// Position/limit/capacity byte buffer of the RTMP library, with RTMP's byte orders.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace rtmp {

// Thrown when a read or write would cross the buffer's limit or capacity. Every caller checks
// Remaining() first; this is the last line of defence, never the normal path.
class BufferBoundsError : public std::out_of_range {
  public:
    using std::out_of_range::out_of_range;
};

class ByteBuffer {
  public:
    static constexpr int kBlockSize = 512;

    ByteBuffer() { Allocate(kBlockSize); }
    explicit ByteBuffer(int size) { Allocate(size > kBlockSize ? size : kBlockSize); }
    virtual ~ByteBuffer() = default;

    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ByteBuffer(ByteBuffer&& other) noexcept { *this = std::move(other); }
    ByteBuffer& operator=(ByteBuffer&& other) noexcept {
        storage_ = std::move(other.storage_);
        pos_ = other.pos_;
        lim_ = other.lim_;
        cap_ = other.cap_;
        other.pos_ = other.lim_ = other.cap_ = 0;
        return *this;
    }

    // Makes room for n bytes (whole 512-byte blocks). Keeps the block when n fits (only
    // clears position and limit); otherwise replaces it with a zero-filled one.
    bool Allocate(int n);
    void Release() noexcept {
        storage_.reset();
        pos_ = lim_ = cap_ = 0;
    }
    void Clear() noexcept {
        pos_ = 0;
        lim_ = cap_;
    }
    void Reset() noexcept { pos_ = lim_ = 0; }
    void Flip() noexcept {
        if (pos_ != 0) {
            lim_ = pos_;
            pos_ = 0;
        }
    }

    int Remaining() const noexcept { return lim_ - pos_; }
    int Position() const noexcept { return pos_; }
    int Limit() const noexcept { return lim_; }
    int Capacity() const noexcept { return cap_; }
    uint8_t* Data() noexcept { return storage_.get(); }
    const uint8_t* Data() const noexcept { return storage_.get(); }
    uint8_t* Current() noexcept { return storage_ ? storage_.get() + pos_ : nullptr; }
    const uint8_t* Current() const noexcept { return storage_ ? storage_.get() + pos_ : nullptr; }

    void SetPosition(int p) {
        if (p < 0 || p > lim_)
            throw BufferBoundsError("ByteBuffer: position outside limit");
        pos_ = p;
    }
    void SetLimit(int l) {
        if (l < 0 || l > cap_)
            throw BufferBoundsError("ByteBuffer: limit outside capacity");
        lim_ = l;
        if (pos_ > lim_)
            pos_ = lim_;
    }
    void Skip(int n) {
        CheckRead(n);
        pos_ += n;
    }

    // Readers: big-endian unless named LE.
    uint8_t GetByte() {
        CheckRead(1);
        return storage_[static_cast<size_t>(pos_++)];
    }
    uint32_t GetInt16() { return static_cast<uint32_t>(ReadBE(2)); }
    uint32_t GetInt24() { return static_cast<uint32_t>(ReadBE(3)); }
    uint32_t GetInt32() { return static_cast<uint32_t>(ReadBE(4)); }
    uint32_t GetInt32LE() {
        CheckRead(4);
        const uint8_t* p = storage_.get() + pos_;
        pos_ += 4;
        return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
    }
    double GetDouble() { return std::bit_cast<double>(ReadBE(8)); }
    uint8_t PeekByte(int offset = 0) const {
        if (offset < 0 || pos_ + offset >= lim_)
            throw BufferBoundsError("ByteBuffer: peek past limit");
        return storage_[static_cast<size_t>(pos_ + offset)];
    }
    void GetBytes(void* out, int n) {
        CheckRead(n);
        if (n > 0)
            std::memcpy(out, storage_.get() + pos_, static_cast<size_t>(n));
        pos_ += n;
    }

    // Writers.
    void PutByte(uint32_t v) { WriteBE(v & 0xFF, 1); }
    void PutInt16(uint32_t v) { WriteBE(v & 0xFFFF, 2); }
    void PutInt24(uint32_t v) { WriteBE(v & 0xFFFFFF, 3); }
    void PutInt32(uint32_t v) { WriteBE(v, 4); }
    void PutInt32LE(uint32_t v) {
        CheckWrite(4);
        uint8_t* p = storage_.get() + pos_;
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
        p[2] = static_cast<uint8_t>(v >> 16);
        p[3] = static_cast<uint8_t>(v >> 24);
        pos_ += 4;
    }
    void PutDouble(double d) { WriteBE(std::bit_cast<uint64_t>(d), 8); }
    void PutBytes(const void* p, int n) {
        CheckWrite(n);
        if (n > 0)
            std::memcpy(storage_.get() + pos_, p, static_cast<size_t>(n));
        pos_ += n;
    }
    void PutString(const char* s) {
        if (s != nullptr)
            PutBytes(s, static_cast<int>(std::strlen(s)));
    }

    // Copies n bytes from other's position to this position, advancing both. No growth.
    void Put(ByteBuffer& other, int n) {
        other.CheckRead(n);
        PutBytes(other.Current(), n);
        other.pos_ += n;
    }
    void PutAll(ByteBuffer& other) { Put(other, other.Remaining()); }
    // Like Put, but grows the storage first when needed, keeping what was written.
    void Append(ByteBuffer& other, int n);
    // Appends raw bytes, growing like Append.
    void AppendBytes(const void* p, int n);
    // Makes sure n more bytes can be written at the position, keeping what was written.
    void Reserve(int n) { MakeRoom(n); }

  private:
    int CheckRead(int n) const {
        if (n < 0 || n > lim_ - pos_)
            throw BufferBoundsError("ByteBuffer: read past limit");
        return n;
    }
    void CheckWrite(int n) const {
        if (n < 0 || !storage_ || n > cap_ - pos_)
            throw BufferBoundsError("ByteBuffer: write past capacity");
    }
    uint64_t ReadBE(int n) {
        CheckRead(n);
        const uint8_t* p = storage_.get() + pos_;
        uint64_t v = 0;
        for (int i = 0; i < n; ++i)
            v = (v << 8) | p[i];
        pos_ += n;
        return v;
    }
    void WriteBE(uint64_t v, int n) {
        CheckWrite(n);
        uint8_t* p = storage_.get() + pos_;
        for (int i = n - 1; i >= 0; --i) {
            p[i] = static_cast<uint8_t>(v);
            v >>= 8;
        }
        pos_ += n;
    }
    void MakeRoom(int n);

    std::unique_ptr<uint8_t[]> storage_;
    int pos_ = 0;
    int lim_ = 0;
    int cap_ = 0;
};

}  // namespace rtmp
