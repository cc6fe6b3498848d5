#include "capture/portal_screen_grabber.h"

#include <cstdio>

#include "basis/translation.h"

namespace capture {
namespace {

const char* StreamEndedText() {
    return basis::Translate(
        "screen",
        "屏幕共享已结束: Screen sharing ended (the desktop stopped sharing the screen): the "
        "broadcast keeps showing the last picture of the screen.");
}

const char* StreamFailedText() {
    return basis::Translate(
        "screen",
        "无法共享屏幕: Cannot share the screen: the desktop granted it, but its picture stream "
        "did not start.");
}

}  // namespace

PortalScreenGrabber::PortalScreenGrabber(Options options, MessageSink* messages)
    : options_(std::move(options)), messages_(messages) {}

PortalScreenGrabber::~PortalScreenGrabber() {
    Close();
}

bool PortalScreenGrabber::Open() {
    std::lock_guard<std::mutex> hold(lock_);
    stream_.Stop();
    session_.Close();
    open_ = false;
    endReported_ = false;
    PortalSessionOptions sessionOptions;
    sessionOptions.restoreToken = options_.restoreToken;
    sessionOptions.answerTimeout = options_.answerTimeout;
    if (!session_.Open(sessionOptions)) {
        std::fprintf(stderr, "screen-cast portal: %s\n", session_.Detail().c_str());
        if (messages_ != nullptr)
            messages_->ShowMessage(PortalFailureText(session_.Failure()));
        return false;
    }
    // A token is good for one session: keep the new one for the next broadcast.
    if (!session_.RestoreToken().empty()) {
        options_.restoreToken = session_.RestoreToken();
        if (options_.saveRestoreToken)
            options_.saveRestoreToken(options_.restoreToken);
    }
    if (!stream_.Start(session_.TakePipeWireFd(), session_.Node(),
                       session_.Cursor() == PortalCursor::kMetadata)) {
        std::fprintf(stderr, "screen-cast stream: %s\n", stream_.Detail().c_str());
        session_.Close();
        if (messages_ != nullptr)
            messages_->ShowMessage(StreamFailedText());
        return false;
    }
    open_ = true;
    return true;
}

void PortalScreenGrabber::Close() {
    std::lock_guard<std::mutex> hold(lock_);
    open_ = false;
    stream_.Stop();
    session_.Close();
}

bool PortalScreenGrabber::Grab(uint8_t* dst, int width, int height) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!open_)
        return false;
    if (stream_.TakeNewPicture(dst, width, height))
        return true;
    if (stream_.Ended() && !endReported_) {
        endReported_ = true;
        std::fprintf(stderr, "screen-cast stream: %s\n", stream_.Detail().c_str());
        if (messages_ != nullptr)
            messages_->ShowMessage(StreamEndedText());
    }
    return false;
}

}  // namespace capture
