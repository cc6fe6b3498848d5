// The shared screen's pictures as PipeWire delivers them: a stream on the node the screen-cast
// portal granted, reached through the portal's PipeWire descriptor. Pictures are 32-bit pixels in
// shared memory (no DMA-BUF is offered); the newest one is kept until it is taken. A screen that
// stands still sends none, and the stream then simply has nothing new.
#ifndef BROADCASTER_CAPTURE_SHARED_SCREEN_STREAM_H
#define BROADCASTER_CAPTURE_SHARED_SCREEN_STREAM_H

#include <cstdint>
#include <memory>
#include <string>

namespace capture {

class SharedScreenStream {
  public:
    SharedScreenStream();
    ~SharedScreenStream();
    SharedScreenStream(const SharedScreenStream&) = delete;
    SharedScreenStream& operator=(const SharedScreenStream&) = delete;

    // Connects to the remote through fd (always taken over, also on failure) and to the node,
    // and waits until the stream runs or fails. pointerAsMetadata: the pointer's position comes
    // beside the pictures and the arrow is drawn there; otherwise no arrow is drawn.
    bool Start(int fd, uint32_t node, bool pointerAsMetadata);
    // Disconnects and ends the stream's thread. Safe to repeat.
    void Stop();

    // Converts the newest picture into dst (width x height, packed BGR, bottom-up) when one
    // arrived since the last call that wrote dst, or when the size asked differs from that
    // call's. False, dst untouched, otherwise.
    bool TakeNewPicture(uint8_t* dst, int width, int height);
    // True once the stream stopped after it had started (the desktop stopped sharing).
    bool Ended() const;
    // Why Start failed or the stream ended, for logs.
    std::string Detail() const;

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace capture

#endif  // BROADCASTER_CAPTURE_SHARED_SCREEN_STREAM_H
