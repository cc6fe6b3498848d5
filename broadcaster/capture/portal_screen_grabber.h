// Screen capture on a Wayland desktop: the screen-cast portal grants one monitor for the
// broadcast, PipeWire delivers its pictures, and each new picture becomes the same packed BGR
// bottom-up frame with the broadcaster's arrow that the X11 grabber makes.
#ifndef BROADCASTER_CAPTURE_PORTAL_SCREEN_GRABBER_H
#define BROADCASTER_CAPTURE_PORTAL_SCREEN_GRABBER_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "capture/portal_session.h"
#include "capture/shared_screen_stream.h"
#include "capture/sinks.h"

namespace capture {

class PortalScreenGrabber {
  public:
    struct Options {
        // Token the desktop gave for the previous broadcast; empty asks the user.
        std::string restoreToken;
        // Receives the token for the next broadcast whenever the desktop hands one out.
        std::function<void(const std::string&)> saveRestoreToken;
        std::chrono::milliseconds answerTimeout{std::chrono::minutes(5)};
    };

    // messages receives the texts for the user (may be null).
    PortalScreenGrabber(Options options, MessageSink* messages);
    ~PortalScreenGrabber();
    PortalScreenGrabber(const PortalScreenGrabber&) = delete;
    PortalScreenGrabber& operator=(const PortalScreenGrabber&) = delete;

    // Asks the desktop for the screen and connects its stream. False, after telling the user
    // why, when the desktop has no portal or no screen sharing, or the user cancelled.
    bool Open();
    // Ends the stream and the portal session. Safe to repeat.
    void Close();

    // Writes the newest picture into dst (width x height x 3, bottom-up BGR, top-left
    // rectangle, black beyond the picture). True when dst was rewritten with a new picture;
    // false when it was left as it was: nothing new (a screen standing still), not open, or the
    // stream ended (reported once; dst keeps the last picture).
    bool Grab(uint8_t* dst, int width, int height);

  private:
    Options options_;
    MessageSink* messages_;
    std::mutex lock_;  // Open/Close against Grab
    bool open_ = false;
    bool endReported_ = false;
    PortalSession session_;
    SharedScreenStream stream_;
};

}  // namespace capture

#endif  // BROADCASTER_CAPTURE_PORTAL_SCREEN_GRABBER_H
