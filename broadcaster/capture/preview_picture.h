// The preview's picture of a frame: the frame made small for the preview's box with the frame
// resizers (halvings, then a bilinear step), its shape kept, and handed to the preview sink. The
// frame itself is only read.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "capture/frame_image.h"
#include "capture/sinks.h"

namespace capture {

// The largest size of a width x height picture's shape that fits the box (at least 1 x 1); the
// picture's own size when the box is unknown (0 x 0) or larger.
PreviewBox FitIntoBox(int width, int height, PreviewBox box);

class PreviewPicture {
  public:
    // Previews made a second of the frame clock: at least this many.
    static constexpr int kLeastRate = 5;

    // Hands the frame to the sink at the size FitIntoBox gives for the sink's box. Not for two
    // threads at once.
    void Send(const FrameImage& frame, PreviewSink& sink);

    // Paces the previews of a frame clock of `frameRate` ticks a second: Tick says, once a tick,
    // whether to send now. `changed` is whether this tick's frame differs from the one shown; a
    // change on a tick that is not due is sent at the next tick that is, so the preview always
    // comes to rest on the last frame.
    void SetFrameRate(int frameRate);
    bool Tick(bool changed);

  private:
    std::array<std::vector<uint8_t>, 2> halves_;
    std::vector<uint8_t> small_;
    int ticksPerPreview_ = 1;
    int ticksSincePreview_ = 0;
    bool unshown_ = false;
};

}  // namespace capture
