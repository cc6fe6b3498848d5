// The screen-cast portal conversation over sd-bus.
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <optional>
#include <string_view>

#include "basis/translation.h"
#include "capture/portal_session.h"

namespace capture {
namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* kRequest = "org.freedesktop.portal.Request";
constexpr const char* kSession = "org.freedesktop.portal.Session";

constexpr uint32_t kSourceMonitor = 1;
constexpr uint32_t kPersistUntilRevoked = 2;
// Request answers: 0 granted, 1 cancelled by the user, 2 ended otherwise.
constexpr uint32_t kResponseCancelled = 1;

std::atomic<unsigned> g_tokenCounter{0};

// A handle token unique in this process (request and session paths end in it).
std::string NewToken() {
    return "tutorlane" + std::to_string(getpid()) + "_" +
           std::to_string(g_tokenCounter.fetch_add(1));
}

struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
struct SlotUnref {
    void operator()(sd_bus_slot* s) const { sd_bus_slot_unref(s); }
};
using BusPtr = std::unique_ptr<sd_bus, BusCloser>;
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;

class BusError {
  public:
    BusError() = default;
    ~BusError() { sd_bus_error_free(&error_); }
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    sd_bus_error* get() { return &error_; }
    std::string Name() const { return error_.name != nullptr ? error_.name : ""; }
    std::string Text() const {
        std::string text = Name();
        if (error_.message != nullptr)
            text += std::string(text.empty() ? "" : ": ") + error_.message;
        return text;
    }

  private:
    sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// The bus refuses to reach the portal at all (as opposed to the portal answering).
bool PortalAbsent(const std::string& errorName) {
    return errorName == "org.freedesktop.DBus.Error.ServiceUnknown" ||
           errorName == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
           StartsWith(errorName, "org.freedesktop.DBus.Error.Spawn");
}

// One Request's answer.
struct Response {
    bool arrived = false;
    uint32_t code = 2;
    MessagePtr message;  // positioned at the results dictionary
};

// Reads the results dictionary of a Response, calling onEntry(key) positioned at the variant;
// onEntry reads the variant or returns false to have it skipped.
int ForEachResult(sd_bus_message* m, const std::function<int(const std::string&)>& onEntry) {
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r < 0)
        return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* key = nullptr;
        r = sd_bus_message_read(m, "s", &key);
        if (r < 0)
            return r;
        r = onEntry(key);
        if (r < 0)
            return r;
        if (r == 0 && (r = sd_bus_message_skip(m, "v")) < 0)
            return r;
        if ((r = sd_bus_message_exit_container(m)) < 0)
            return r;
    }
    if (r < 0)
        return r;
    return sd_bus_message_exit_container(m);
}

// Reads a string or object path inside the variant the message is positioned at.
int ReadVariantText(sd_bus_message* m, std::string& out) {
    char type = 0;
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(m, &type, &contents);
    if (r < 0)
        return r;
    if (type != 'v' || contents == nullptr ||
        (std::strcmp(contents, "s") != 0 && std::strcmp(contents, "o") != 0))
        return 0;  // not text: skipped by the caller
    const char* text = nullptr;
    if ((r = sd_bus_message_enter_container(m, 'v', contents)) < 0 ||
        (r = sd_bus_message_read_basic(m, contents[0], &text)) < 0 ||
        (r = sd_bus_message_exit_container(m)) < 0)
        return r;
    out = text != nullptr ? text : "";
    return 1;
}

}  // namespace

std::string PortalFailureText(PortalFailure failure) {
    switch (failure) {
        case PortalFailure::kNone:
            return "";
        case PortalFailure::kNoBus:
            return basis::Translate(
                "screen",
                "无法共享屏幕: Cannot share the screen: this desktop session has no "
                "session bus (D-Bus), through which a Wayland desktop shares its screen.");
        case PortalFailure::kNoPortal:
            return basis::Translate(
                "screen",
                "无法共享屏幕: Cannot share the screen: the desktop's screen-sharing "
                "service (xdg-desktop-portal) is not running or not installed.");
        case PortalFailure::kNoScreenCast:
            return basis::Translate(
                "screen",
                "无法共享屏幕: Cannot share the screen: the desktop's portal offers no "
                "screen sharing (ScreenCast); install the portal of your desktop (for "
                "example xdg-desktop-portal-gnome, -kde or -wlr).");
        case PortalFailure::kCancelled:
            return basis::Translate(
                "screen",
                "屏幕共享已取消: Screen sharing was cancelled in the desktop's dialog: "
                "the broadcast did not start.");
        case PortalFailure::kRefused:
            return basis::Translate(
                "screen",
                "无法共享屏幕: The desktop refused to share the screen: the broadcast did "
                "not start.");
        case PortalFailure::kNoAnswer:
            return basis::Translate(
                "screen",
                "无法共享屏幕: The desktop did not answer the request to share the screen "
                "in time.");
        case PortalFailure::kBroken:
            return basis::Translate(
                "screen",
                "无法共享屏幕: Sharing the screen failed: the desktop's portal gave an "
                "answer this program cannot use.");
    }
    return "";
}

class PortalSession::Impl {
  public:
    ~Impl() { Close(); }

    bool Open(const PortalSessionOptions& options) {
        Close();
        failure_ = PortalFailure::kNone;
        detail_.clear();
        options_ = options;
        sd_bus* raw = nullptr;
        int r = sd_bus_open_user(&raw);
        if (r < 0)
            return Fail(PortalFailure::kNoBus, std::string("sd_bus_open_user: ") + strerror(-r));
        bus_.reset(raw);
        const char* unique = nullptr;
        if ((r = sd_bus_get_unique_name(bus_.get(), &unique)) < 0 || unique == nullptr ||
            unique[0] != ':')
            return Fail(PortalFailure::kNoBus, "no unique name on the session bus");
        // ":1.42" becomes "1_42" in request and session paths.
        sender_ = unique + 1;
        for (char& c : sender_)
            if (c == '.')
                c = '_';
        return Converse();
    }

    void Close() {
        if (bus_ && !session_.empty()) {
            BusError error;
            sd_bus_call_method(bus_.get(), kPortalName, session_.c_str(), kSession, "Close",
                               error.get(), nullptr, "");
        }
        session_.clear();
        slot_.reset();
        bus_.reset();
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

    PortalFailure failure_ = PortalFailure::kNone;
    std::string detail_;
    uint32_t node_ = 0;
    int width_ = 0;
    int height_ = 0;
    PortalCursor cursor_ = PortalCursor::kEmbedded;
    std::string restoreToken_;
    int fd_ = -1;

  private:
    bool Fail(PortalFailure failure, std::string detail) {
        failure_ = failure;
        detail_ = std::move(detail);
        Close();
        return false;
    }

    bool ReadProperty(const char* name, uint32_t& value) {
        BusError error;
        const int r = sd_bus_get_property_trivial(bus_.get(), kPortalName, kPortalPath, kScreenCast,
                                                  name, error.get(), 'u', &value);
        if (r >= 0)
            return true;
        Fail(PortalAbsent(error.Name()) ? PortalFailure::kNoPortal : PortalFailure::kNoScreenCast,
             error.Text());
        return false;
    }

    // The unique bus name of the connection that owns the portal's name (started by now: the
    // properties have been read). Answers to requests are taken from that connection only; any
    // other client of the bus could send a signal that looks like one.
    bool FindPortalOwner() {
        BusError error;
        sd_bus_message* reply = nullptr;
        const int r = sd_bus_call_method(bus_.get(), "org.freedesktop.DBus",
                                         "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                         "GetNameOwner", error.get(), &reply, "s", kPortalName);
        MessagePtr replyOwner(reply);
        const char* owner = nullptr;
        if (r < 0)
            return Fail(
                PortalAbsent(error.Name()) ? PortalFailure::kNoPortal : PortalFailure::kBroken,
                "GetNameOwner: " + error.Text());
        if (sd_bus_message_read(reply, "s", &owner) < 0 || owner == nullptr || owner[0] != ':')
            return Fail(PortalFailure::kBroken, "GetNameOwner: no unique name");
        portal_ = owner;
        return true;
    }

    bool Converse() {
        uint32_t version = 0;
        uint32_t cursorModes = 0;
        if (!ReadProperty("version", version) || !ReadProperty("AvailableCursorModes", cursorModes))
            return false;
        if (!FindPortalOwner())
            return false;
        if ((cursorModes & static_cast<uint32_t>(PortalCursor::kMetadata)) != 0)
            cursor_ = PortalCursor::kMetadata;
        else if ((cursorModes & static_cast<uint32_t>(PortalCursor::kEmbedded)) != 0)
            cursor_ = PortalCursor::kEmbedded;
        else
            cursor_ = PortalCursor::kHidden;

        // CreateSession
        const std::string sessionToken = NewToken();
        MessagePtr answer;
        if (!Request(
                "CreateSession",
                [&](sd_bus_message* m, const std::string& token) {
                    return sd_bus_message_append(m, "a{sv}", 2, "handle_token", "s", token.c_str(),
                                                 "session_handle_token", "s", sessionToken.c_str());
                },
                answer))
            return false;
        int r = ForEachResult(answer.get(), [&](const std::string& key) {
            return key == "session_handle" ? ReadVariantText(answer.get(), session_) : 0;
        });
        if (r < 0 || session_.empty())
            return Fail(PortalFailure::kBroken, "CreateSession gave no session handle");

        // SelectSources: one monitor, the cursor as chosen above, kept until revoked.
        if (!Request(
                "SelectSources",
                [&](sd_bus_message* m, const std::string& token) {
                    int q = sd_bus_message_append(m, "o", session_.c_str());
                    if (q >= 0)
                        q = sd_bus_message_open_container(m, 'a', "{sv}");
                    if (q >= 0)
                        q = sd_bus_message_append(m, "{sv}{sv}{sv}{sv}", "handle_token", "s",
                                                  token.c_str(), "types", "u", kSourceMonitor,
                                                  "multiple", "b", 0, "cursor_mode", "u",
                                                  static_cast<uint32_t>(cursor_));
                    if (q >= 0 && version >= 4)
                        q = sd_bus_message_append(m, "{sv}", "persist_mode", "u",
                                                  kPersistUntilRevoked);
                    if (q >= 0 && version >= 4 && !options_.restoreToken.empty())
                        q = sd_bus_message_append(m, "{sv}", "restore_token", "s",
                                                  options_.restoreToken.c_str());
                    if (q >= 0)
                        q = sd_bus_message_close_container(m);
                    return q;
                },
                answer))
            return false;

        // Start: here the desktop asks the user (unless the restore token answers for them).
        if (!Request(
                "Start",
                [&](sd_bus_message* m, const std::string& token) {
                    return sd_bus_message_append(m, "osa{sv}", session_.c_str(), "", 1,
                                                 "handle_token", "s", token.c_str());
                },
                answer))
            return false;
        bool haveStream = false;
        r = ForEachResult(answer.get(), [&](const std::string& key) -> int {
            sd_bus_message* m = answer.get();
            if (key == "restore_token")
                return ReadVariantText(m, restoreToken_);
            if (key != "streams")
                return 0;
            int q = sd_bus_message_enter_container(m, 'v', "a(ua{sv})");
            if (q < 0)
                return q;
            if ((q = sd_bus_message_enter_container(m, 'a', "(ua{sv})")) < 0)
                return q;
            while ((q = sd_bus_message_enter_container(m, 'r', "ua{sv}")) > 0) {
                uint32_t node = 0;
                if ((q = sd_bus_message_read(m, "u", &node)) < 0)
                    return q;
                int w = 0;
                int h = 0;
                q = ForEachResult(m, [&](const std::string& prop) -> int {
                    if (prop != "size")
                        return 0;
                    int p = sd_bus_message_enter_container(m, 'v', "(ii)");
                    if (p < 0)
                        return 0;
                    if ((p = sd_bus_message_read(m, "(ii)", &w, &h)) < 0)
                        return p;
                    p = sd_bus_message_exit_container(m);
                    return p < 0 ? p : 1;
                });
                if (q < 0)
                    return q;
                if (!haveStream) {  // the first stream is the monitor asked for
                    haveStream = true;
                    node_ = node;
                    width_ = w > 0 ? w : 0;
                    height_ = h > 0 ? h : 0;
                }
                if ((q = sd_bus_message_exit_container(m)) < 0)
                    return q;
            }
            if (q < 0 || (q = sd_bus_message_exit_container(m)) < 0)
                return q;
            q = sd_bus_message_exit_container(m);
            return q < 0 ? q : 1;
        });
        if (r < 0)
            return Fail(PortalFailure::kBroken, "Start answered with unreadable streams");
        if (!haveStream)
            return Fail(PortalFailure::kRefused, "Start granted no stream");

        // OpenPipeWireRemote: the descriptor of a PipeWire connection that sees the stream.
        BusError error;
        sd_bus_message* reply = nullptr;
        r = sd_bus_call_method(bus_.get(), kPortalName, kPortalPath, kScreenCast,
                               "OpenPipeWireRemote", error.get(), &reply, "oa{sv}",
                               session_.c_str(), 0);
        MessagePtr replyOwner(reply);
        if (r < 0)
            return Fail(PortalFailure::kBroken, "OpenPipeWireRemote: " + error.Text());
        int fd = -1;
        if (sd_bus_message_read(reply, "h", &fd) < 0 || fd < 0)
            return Fail(PortalFailure::kBroken, "OpenPipeWireRemote gave no descriptor");
        // The message owns its descriptor: keep a copy of our own.
        fd_ = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        if (fd_ < 0)
            return Fail(PortalFailure::kBroken, std::string("dup: ") + strerror(errno));
        return true;
    }

    // Calls a Request-returning method and waits for the Request's Response. The answer's
    // message is left positioned at the results dictionary.
    bool Request(const char* method,
                 const std::function<int(sd_bus_message*, const std::string&)>& appendArgs,
                 MessagePtr& answer) {
        const std::string token = NewToken();
        // The signal may come before the call returns: listen on the path it will have first.
        std::string awaited = std::string(kPortalPath) + "/request/" + sender_ + "/" + token;
        Response response;
        struct Waiting {
            std::string* path;
            const std::string* portal;
            Response* response;
        } waiting{&awaited, &portal_, &response};
        sd_bus_slot* slot = nullptr;
        // Matched on the portal's unique name: the bus passes on no broadcast from anyone else.
        // A signal sent to this connection directly passes every match, so its sender is
        // checked again.
        int r = sd_bus_match_signal(
            bus_.get(), &slot, portal_.c_str(), nullptr, kRequest, "Response",
            [](sd_bus_message* m, void* userdata, sd_bus_error*) -> int {
                auto* w = static_cast<Waiting*>(userdata);
                const char* path = sd_bus_message_get_path(m);
                const char* sender = sd_bus_message_get_sender(m);
                if (path == nullptr || *w->path != path || sender == nullptr ||
                    *w->portal != sender || w->response->arrived)
                    return 0;
                uint32_t code = 2;
                if (sd_bus_message_read(m, "u", &code) < 0)
                    return 0;
                w->response->arrived = true;
                w->response->code = code;
                w->response->message.reset(sd_bus_message_ref(m));
                return 0;
            },
            &waiting);
        if (r < 0)
            return Fail(PortalFailure::kBroken, std::string("match: ") + strerror(-r));
        slot_.reset(slot);

        sd_bus_message* call = nullptr;
        r = sd_bus_message_new_method_call(bus_.get(), &call, kPortalName, kPortalPath, kScreenCast,
                                           method);
        MessagePtr callOwner(call);
        if (r >= 0)
            r = appendArgs(call, token);
        if (r < 0)
            return Fail(PortalFailure::kBroken,
                        std::string(method) + ": arguments: " + strerror(-r));
        BusError error;
        sd_bus_message* reply = nullptr;
        r = sd_bus_call(bus_.get(), call, 0, error.get(), &reply);
        MessagePtr replyOwner(reply);
        if (r < 0) {
            const std::string name = error.Name();
            const PortalFailure failure =
                PortalAbsent(name) ? PortalFailure::kNoPortal
                : name == "org.freedesktop.DBus.Error.UnknownMethod" ||
                        name == "org.freedesktop.DBus.Error.UnknownInterface"
                    ? PortalFailure::kNoScreenCast
                    : PortalFailure::kBroken;
            return Fail(failure, std::string(method) + ": " + error.Text());
        }
        const char* handle = nullptr;
        if (sd_bus_message_read(reply, "o", &handle) >= 0 && handle != nullptr)
            awaited = handle;  // older portals choose the path themselves

        const auto deadline = std::chrono::steady_clock::now() + options_.answerTimeout;
        while (!response.arrived) {
            r = sd_bus_process(bus_.get(), nullptr);
            if (r < 0)
                return Fail(PortalFailure::kBroken, std::string(method) + ": bus: " + strerror(-r));
            if (r > 0)
                continue;
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero())
                return Fail(PortalFailure::kNoAnswer, std::string(method) + ": no answer");
            const auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
            r = sd_bus_wait(bus_.get(), static_cast<uint64_t>(us));
            if (r < 0 && r != -EINTR)
                return Fail(PortalFailure::kBroken, std::string(method) + ": bus: " + strerror(-r));
        }
        slot_.reset();
        if (response.code != 0) {
            return Fail(response.code == kResponseCancelled ? PortalFailure::kCancelled
                                                            : PortalFailure::kRefused,
                        std::string(method) + ": response " + std::to_string(response.code));
        }
        answer = std::move(response.message);
        return true;
    }

    BusPtr bus_;
    SlotPtr slot_;
    std::string sender_;
    std::string portal_;  // the unique name that owns kPortalName
    std::string session_;
    PortalSessionOptions options_;
};

PortalSession::PortalSession() : impl_(std::make_unique<Impl>()) {}
PortalSession::~PortalSession() = default;

bool PortalSession::Open(const PortalSessionOptions& options) {
    impl_->node_ = 0;
    impl_->width_ = 0;
    impl_->height_ = 0;
    impl_->restoreToken_.clear();
    return impl_->Open(options);
}
void PortalSession::Close() {
    impl_->Close();
}
PortalFailure PortalSession::Failure() const {
    return impl_->failure_;
}
const std::string& PortalSession::Detail() const {
    return impl_->detail_;
}
uint32_t PortalSession::Node() const {
    return impl_->node_;
}
int PortalSession::StreamWidth() const {
    return impl_->width_;
}
int PortalSession::StreamHeight() const {
    return impl_->height_;
}
PortalCursor PortalSession::Cursor() const {
    return impl_->cursor_;
}
const std::string& PortalSession::RestoreToken() const {
    return impl_->restoreToken_;
}
int PortalSession::TakePipeWireFd() {
    const int fd = impl_->fd_;
    impl_->fd_ = -1;
    return fd;
}

}  // namespace capture
