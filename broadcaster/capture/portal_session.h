// The desktop's screen-cast portal (org.freedesktop.portal.ScreenCast on the session bus): one
// session that shares one monitor as a PipeWire stream. Open asks the desktop (CreateSession,
// SelectSources, Start, OpenPipeWireRemote); the desktop may show the user a dialog, or skip it
// when the restore token of an earlier session is handed back. The session lives until Close or
// destruction; the portal also ends it when this connection to the bus goes away.
#ifndef BROADCASTER_CAPTURE_PORTAL_SESSION_H
#define BROADCASTER_CAPTURE_PORTAL_SESSION_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace capture {

enum class PortalFailure {
    kNone,
    kNoBus,         // no session bus to talk on
    kNoPortal,      // nobody owns org.freedesktop.portal.Desktop and it cannot be started
    kNoScreenCast,  // the portal has no ScreenCast interface
    kCancelled,     // the user pressed Cancel in the desktop's dialog
    kRefused,       // the portal ended a request with another failure
    kNoAnswer,      // a request got no answer in time
    kBroken,        // a call failed or an answer could not be read
};

// Teacher-readable text for a failure (empty for kNone).
std::string PortalFailureText(PortalFailure failure);

// How the pointer reaches the stream, as the portal's cursor_mode bits name it.
enum class PortalCursor : uint32_t {
    kHidden = 1,
    kEmbedded = 2,  // drawn into the pictures by the desktop
    kMetadata = 4,  // sent beside the pictures as a position
};

struct PortalSessionOptions {
    // Token of an earlier session; empty asks the user afresh.
    std::string restoreToken;
    // How long to wait for each answer; the desktop's dialog waits for the user.
    std::chrono::milliseconds answerTimeout{std::chrono::minutes(5)};
};

class PortalSession {
  public:
    PortalSession();
    ~PortalSession();
    PortalSession(const PortalSession&) = delete;
    PortalSession& operator=(const PortalSession&) = delete;

    // Runs the conversation. False with Failure()/Detail() set when no stream was granted.
    bool Open(const PortalSessionOptions& options);
    // Ends the session (Session.Close) and drops the bus connection. Safe to repeat.
    void Close();

    PortalFailure Failure() const;
    // The portal's own error name or message, for logs.
    const std::string& Detail() const;

    // Valid after a successful Open.
    uint32_t Node() const;    // PipeWire node of the shared monitor
    int StreamWidth() const;  // size the portal announced; 0 when it gave none
    int StreamHeight() const;
    PortalCursor Cursor() const;              // the cursor mode asked for
    const std::string& RestoreToken() const;  // token for the next session; empty when none
    // The PipeWire connection's descriptor, handed over to the caller (-1 once taken).
    int TakePipeWireFd();

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace capture

#endif  // BROADCASTER_CAPTURE_PORTAL_SESSION_H
