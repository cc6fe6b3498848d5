// Helpers for driving the real window: a program folder in a temp directory as the current
// directory, a catcher that reads and closes message boxes, waiting with the event loop running,
// and JavaScript evaluation in the classroom page.
#ifndef TESTS_BROADCASTER_WINDOW_WINDOW_FIXTURE_H
#define TESTS_BROADCASTER_WINDOW_WINDOW_FIXTURE_H

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariant>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "app/broadcaster_dlg.h"
#include "app/launch_kit.h"
#include "support/child_process.h"

namespace window_test {

// The shipped config.ini with the given [Device] keys replaced.
std::string ConfigText(const std::map<std::string, std::string>& device);
using app::test::LaunchUrl;
using app::test::Shifted;

// A program folder: config.ini, face.dll and Quillon.dll in a temp directory, made the current
// directory and its config.ini the window's settings file for the object's lifetime.
class ProgramFolder {
  public:
    explicit ProgramFolder(const std::string& configText, bool enter = true);
    ~ProgramFolder();
    ProgramFolder(const ProgramFolder&) = delete;
    ProgramFolder& operator=(const ProgramFolder&) = delete;
    const std::filesystem::path& Path() const { return dir_.Path(); }
    std::filesystem::path Config() const { return dir_ / "config.ini"; }
    std::string ConfigNow() const { return rtmp::test::ReadTextFile(Config()); }

  private:
    rtmp::test::TempDir dir_{"tutorlane_window"};
    std::filesystem::path previous_;
    std::string previousSettings_;
    bool entered_ = false;
};

// Reads and accepts every message box that becomes the application's modal window; questions
// get the answer set here (no, unless told otherwise).
class MessageCatcher : public QObject {
  public:
    MessageCatcher();
    const QStringList& Texts() const { return texts_; }
    void Clear() { texts_.clear(); }
    void AnswerYes(bool yes) { yes_ = yes; }

  private:
    void Poll();
    QTimer timer_;
    QStringList texts_;
    bool yes_ = false;
};

// A program folder with the given settings, a message catcher and the window on it, set up
// (OnInitDialog) and shown.
struct OpenWindow {
    explicit OpenWindow(const std::string& configText) : folder(configText) {
        dialog.OnInitDialog();
        dialog.show();
    }
    ProgramFolder folder;
    MessageCatcher messages;
    app::CBroadcasterDlg dialog;
};

// Runs the event loop until done() or the limit; done()'s last answer.
bool WaitFor(const std::function<bool()>& done, int limitMs);
// Asks an X window to close as a window manager does for its close box (WM_DELETE_WINDOW);
// false when the display can't be reached.
bool AskWindowToClose(unsigned long window);
// The value of a script in the classroom page (invalid QVariant when no answer came).
QVariant EvaluateInPage(app::CShockwaveFlash* view, const QString& script);

}  // namespace window_test

#endif  // TESTS_BROADCASTER_WINDOW_WINDOW_FIXTURE_H
