// The window tests run in a private X server, each test process with its own session folders
// (instance lock, desktop entries, settings, state, home), and with the application object alive
// across the tests.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <cstdio>

#include "app/broadcaster_app.h"
#include "capture/xvfb_display.h"
#include "support/child_process.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();

    capture::test::XvfbDisplay display;
    if (!display.Start("1280x800x24")) {
        std::fprintf(stderr, "cannot start Xvfb\n");
        return 1;
    }
    rtmp::test::TempDir session("tutorlane_session");
    setenv("DISPLAY", display.Name().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    setenv("XDG_RUNTIME_DIR", session.Path().c_str(), 1);
    setenv("XDG_DATA_HOME", session.Path().c_str(), 1);
    // Never the developer's own settings or state.
    setenv("XDG_CONFIG_HOME", (session.Path() / "config").c_str(), 1);
    setenv("XDG_STATE_HOME", (session.Path() / "state").c_str(), 1);
    // Nor the developer's videos folder: local copies land in the session's.
    setenv("HOME", (session.Path() / "home").c_str(), 1);
    // The programs' texts as written (the developer's own language would translate them); the
    // language tests choose theirs.
    setenv("LANG", "C.UTF-8", 1);
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANGUAGE"})
        unsetenv(name);
    unsetenv("TUTORLANE_MESSAGE_LOG");
    unsetenv("TUTORLANE_MESSAGE_AUTOCLOSE_MS");
    app::PrepareProcess();
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
