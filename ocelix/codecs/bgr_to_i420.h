// Conversion of packed bottom-up BGR24 frames into I420 planes (BT.601, limited range), the
// picture format the H.264 encoder takes.
#ifndef OCELIX_CODECS_BGR_TO_I420_H
#define OCELIX_CODECS_BGR_TO_I420_H

#include <cstdint>
#include <memory>

namespace ocelix {

class BgrToI420 {
  public:
    // Converts the top-left width x height pixels (both even, > 0) of frames whose rows are
    // sourceStride bytes apart. Throws std::invalid_argument on bad sizes, std::bad_alloc
    // when the planes cannot be allocated.
    BgrToI420(int width, int height, int sourceStride);
    ~BgrToI420();
    BgrToI420(const BgrToI420&) = delete;
    BgrToI420& operator=(const BgrToI420&) = delete;

    // `frame` holds sourceStride * frameRows bytes, the bottom row first; the displayed top row
    // is the last one in memory. Only the top `height` displayed rows are converted.
    void Convert(const uint8_t* frame, int frameRows);

    int Width() const { return width_; }
    int Height() const { return height_; }
    uint8_t* Plane(int i) const { return planes_[i]; }
    int Stride(int i) const { return strides_[i]; }

  private:
    struct FreeDeleter {
        void operator()(uint8_t* p) const;
    };

    int width_;
    int height_;
    int sourceStride_;
    std::unique_ptr<uint8_t, FreeDeleter> storage_;
    uint8_t* planes_[3] = {};
    int strides_[3] = {};
};

}  // namespace ocelix

#endif  // OCELIX_CODECS_BGR_TO_I420_H
