// The screen-cast portal conversation against a scripted portal (scripted_portal.py) on a private
// session bus that each test starts (each test runs in a process of its own): what is asked for,
// what is read from the answers, and how each refusal is told apart.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "audio_test_doubles.h"
#include "capture/portal_screen_grabber.h"
#include "capture/portal_session.h"
#include "support/child_process.h"

namespace capture {
namespace {

using namespace std::chrono_literals;
using namespace rtmp::test;
using namespace testing;

// Whether `done` comes true while `owner` runs.
template <typename Done>
bool WaitWhileRunning(ChildProcess& owner, Done done) {
    return WaitUntil([&] { return done() || !owner.Running(); }, 20s) && done();
}

// A private session bus that offers no services of its own (so nothing is started on demand),
// this process pointed at it, with the scripted portal on it unless the mode is "absent".
class ScriptedPortal {
  public:
    bool Start(const std::string& mode, int cursorModes) {
        std::ofstream(dir_ / "bus.conf") << R"(<busconfig><type>session</type><listen>unix:path=)"
                                         << (dir_ / "bus").string() << R"(</listen>
<auth>EXTERNAL</auth><policy context="default"><allow send_destination="*" eavesdrop="true"/>
<allow eavesdrop="true"/><allow own="*"/></policy></busconfig>)";
        // The daemon prints its address once it accepts connections.
        if (!bus_.Start({"dbus-daemon", "--nofork", "--print-address",
                         "--config-file=" + (dir_ / "bus.conf").string()},
                        dir_ / "bus.log") ||
            !WaitWhileRunning(bus_, [&] { return !ReadTextFile(dir_ / "bus.log").empty(); }))
            return false;
        setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (dir_ / "bus").string()).c_str(), 1);
        return mode == "absent" ||
               (portal_.Start({"/usr/bin/python3", TUTORLANE_SCRIPTED_PORTAL, mode,
                               std::to_string(cursorModes), (dir_ / "calls.log").string(),
                               (dir_ / "ready").string()},
                              dir_ / "portal.out") &&
                WaitWhileRunning(portal_, [&] { return std::filesystem::exists(dir_ / "ready"); }));
    }
    std::string Output() const { return ReadTextFile(dir_ / "portal.out"); }
    // The lines of the call log that record `call`.
    std::vector<std::string> Calls(const std::string& call) const {
        std::vector<std::string> lines;
        std::ifstream in(dir_ / "calls.log");
        for (std::string line; std::getline(in, line);)
            if (line.find("\"call\": \"" + call + "\"") != std::string::npos)
                lines.push_back(line);
        return lines;
    }

  private:
    rtmp::test::TempDir dir_{"portal-session"};
    ChildProcess bus_;
    ChildProcess portal_;
};

struct ConversationCase {
    const char* name;
    const char* mode;
    PortalFailure failure;
    int cursorModes = 3;  // the modes the portal offers
    const char* restoreToken = "";
    PortalCursor cursor = PortalCursor::kEmbedded;
};

class PortalConversation : public testing::TestWithParam<ConversationCase> {};

// The session, then the grabber on the same portal: the grabber tells the user why the broadcast
// cannot show the screen (when granted, the scripted portal's descriptor leads to no PipeWire),
// keeps the token the desktop hands out, and grabs nothing.
TEST_P(PortalConversation, AsksForOneMonitorAndReadsTheAnswers) {
    const ConversationCase& c = GetParam();
    ScriptedPortal portal;
    if (std::string(c.mode) == "no-bus") {
        setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tutorlane-bus", 1);
    } else {
        ASSERT_TRUE(portal.Start(c.mode, c.cursorModes)) << portal.Output();
    }
    const bool granted = c.failure == PortalFailure::kNone;
    // A session made before a refusal is ended; without the interface none is made.
    const size_t made =
        granted || c.failure == PortalFailure::kCancelled || c.failure == PortalFailure::kRefused;
    PortalSession session;
    EXPECT_EQ(session.Open({.restoreToken = c.restoreToken, .answerTimeout = 20s}), granted);
    EXPECT_EQ(session.Failure(), c.failure) << session.Detail();
    EXPECT_EQ(portal.Calls("CreateSession").size(), made);
    if (!granted) {
        EXPECT_FALSE(PortalFailureText(c.failure).empty());
        EXPECT_EQ(std::tuple(session.TakePipeWireFd(), portal.Calls("Close").size()),
                  std::tuple(-1, made));
    } else {
        EXPECT_EQ(std::tuple(session.Node(), session.StreamWidth(), session.StreamHeight(),
                             session.RestoreToken(), session.Cursor()),
                  std::tuple(42U, 640, 480, "token-2", c.cursor));
        const int fd = session.TakePipeWireFd();
        EXPECT_GE(fcntl(fd, F_GETFD), 0);
        EXPECT_EQ(session.TakePipeWireFd(), -1);  // handed over once
        close(fd);

        const auto token =
            Conditional(*c.restoreToken == '\0', Not(HasSubstr("\"restore_token\"")),
                        HasSubstr(std::string("\"restore_token\": \"") + c.restoreToken + "\""));
        EXPECT_THAT(portal.Calls("SelectSources"),
                    ElementsAre(AllOf(HasSubstr("\"types\": 1"), HasSubstr("\"multiple\": false"),
                                      HasSubstr("\"persist_mode\": 2"), token,
                                      HasSubstr("\"cursor_mode\": " +
                                                std::to_string(static_cast<uint32_t>(c.cursor))))));
        EXPECT_EQ(std::tuple(portal.Calls("Start").size(), portal.Calls("Close").size()),
                  std::tuple(1U, 0U));
        session.Close();
        EXPECT_EQ(portal.Calls("Close").size(), 1U);
    }

    test::RecordingMessageSink messages;
    std::vector<std::string> saved;
    PortalScreenGrabber grabber(
        {.restoreToken = c.restoreToken,
         .saveRestoreToken = [&saved](const std::string& t) { saved.push_back(t); }},
        &messages);
    EXPECT_FALSE(grabber.Open());
    EXPECT_THAT(messages.Texts(),
                ElementsAre(Conditional(granted, HasSubstr("picture stream did not start"),
                                        Eq(PortalFailureText(c.failure)))));
    EXPECT_EQ(saved, granted ? std::vector<std::string>{"token-2"} : std::vector<std::string>{});
    EXPECT_EQ(portal.Calls("Close").size(), 2 * made);
    std::vector<uint8_t> frame(16 * 16 * 3, 7);
    EXPECT_FALSE(grabber.Grab(frame.data(), 16, 16));
    EXPECT_EQ(frame, std::vector<uint8_t>(16 * 16 * 3, 7));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortalConversation,
    testing::ValuesIn(std::vector<ConversationCase>{
        {"GrantedPointerAsMetadata", "grant", PortalFailure::kNone, 7, "", PortalCursor::kMetadata},
        {"GrantedPointerEmbeddedRestoreTokenHandedBack", "grant", PortalFailure::kNone, 3,
         "token-1"},
        {"GrantedWhileAnotherClientSendsRefusals", "forge", PortalFailure::kNone},
        {"Cancelled", "cancel", PortalFailure::kCancelled},
        {"Refused", "refuse", PortalFailure::kRefused},
        {"NoScreenCastInterface", "no-screencast", PortalFailure::kNoScreenCast},
        {"NoPortal", "absent", PortalFailure::kNoPortal},
        {"NoBus", "no-bus", PortalFailure::kNoBus}}),
    [](const testing::TestParamInfo<ConversationCase>& p) { return p.param.name; });

}  // namespace
}  // namespace capture
