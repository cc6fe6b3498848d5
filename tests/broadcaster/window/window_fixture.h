// Helpers for driving the real window: a program folder in a temp directory as the current
// directory, a catcher that reads and closes message boxes, waiting with the event loop running,
// and the classroom page's text.
#ifndef TESTS_BROADCASTER_WINDOW_WINDOW_FIXTURE_H
#define TESTS_BROADCASTER_WINDOW_WINDOW_FIXTURE_H

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWebEnginePage>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "app/broadcaster_dlg.h"
#include "app/ini_file.h"
#include "app/launch_kit.h"
#include "app/shockwave_flash.h"
#include "app/user_config.h"
#include "support/child_process.h"
#include "support/nginx_rtmp_server.h"

namespace window_test {

using app::test::LaunchUrl;
using app::test::Shifted;
using rtmp::test::ChildProcess;
using rtmp::test::NginxRtmpServer;
using rtmp::test::ReadTextFile;
using rtmp::test::RunProcess;
using rtmp::test::TempDir;
using rtmp::test::WaitUntil;
using namespace std::chrono_literals;

// The shipped config.ini with the given [Device] keys replaced.
inline std::string ConfigText(const std::map<std::string, std::string>& device) {
    std::ifstream in(TUTORLANE_APP_SOURCE_DIR "/config.ini");
    std::ostringstream out;
    for (std::string line; std::getline(in, line);) {
        const auto it = device.find(line.substr(0, line.find('=')));
        out << (it != device.end() ? it->first + "=" + it->second : line) << "\n";
    }
    return out.str();
}

// A program folder: config.ini, face.dll and Quillon.dll in a temp directory, its config.ini the
// window's settings file (and, when entered, the folder the current directory) for the object's
// lifetime.
class ProgramFolder {
  public:
    explicit ProgramFolder(const std::string& configText, bool enter = true) {
        std::ofstream(Config()) << configText;
        for (const char* file : {"face.dll", "Quillon.dll"})
            std::filesystem::copy_file(std::filesystem::path(TUTORLANE_APP_SOURCE_DIR) / file,
                                       dir_ / file);
        app::SetSettingsPath(Config().string());
        if (enter)
            std::filesystem::current_path(dir_.Path());
    }
    ~ProgramFolder() {
        app::SetSettingsPath(previousSettings_);
        std::error_code ec;
        std::filesystem::current_path(previous_, ec);
    }
    const std::filesystem::path& Path() const { return dir_.Path(); }
    std::filesystem::path Config() const { return dir_ / "config.ini"; }
    std::string ConfigNow() const { return ReadTextFile(Config()); }

  private:
    TempDir dir_{"tutorlane_window"};
    const std::filesystem::path previous_ = std::filesystem::current_path();
    const std::string previousSettings_ = app::SettingsPath();
};

// Reads and accepts every message box that becomes the application's modal window; questions
// get the answer set here (no, unless told otherwise).
class MessageCatcher : public QObject {
  public:
    MessageCatcher() {
        connect(&timer_, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible())
                return;
            texts_.append(box->text());
            if (box->objectName() == QStringLiteral("questionBox"))
                box->button(yes_ ? QMessageBox::Yes : QMessageBox::No)->click();
            else
                box->accept();
        });
        timer_.start(20);
    }
    const QStringList& Texts() const { return texts_; }
    // The texts as one line, for failure messages.
    std::string Said() const { return texts_.join("|").toStdString(); }
    void Clear() { texts_.clear(); }
    void AnswerYes(bool yes) { yes_ = yes; }

  private:
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
    template <typename T = QPushButton>
    T* Control(const char* name) {
        return dialog.findChild<T*>(QString::fromLatin1(name));
    }
    // Broadcasting: the start button hidden and disabled, the stop button shown and enabled;
    // idle the other way round.
    bool Shows(bool broadcasting) {
        QPushButton* start = Control("ctl1012");
        QPushButton* stop = Control("ctl1043");
        return start->isHidden() == broadcasting && start->isEnabled() != broadcasting &&
               stop->isHidden() != broadcasting && stop->isEnabled() == broadcasting;
    }
    ProgramFolder folder;
    MessageCatcher messages;
    app::CBroadcasterDlg dialog;
};

// The value of a script in the classroom page (invalid QVariant when no answer came).
inline QVariant EvaluateInPage(app::CShockwaveFlash* view, const QString& script) {
    bool answered = false;
    QVariant result;
    view->page()->runJavaScript(script, [&](const QVariant& value) {
        result = value;
        answered = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return answered; }, 5000));
    return result;
}

// The text of the classroom page's element with the given id.
inline QString PageText(app::CShockwaveFlash* view, const char* id) {
    return EvaluateInPage(
               view,
               QStringLiteral("document.getElementById('%1').textContent").arg(QLatin1String(id)))
        .toString();
}

// Bytes the server recorded of a stream; 0 while there is no recording.
inline uintmax_t Recorded(const NginxRtmpServer& server, const char* stream) {
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(server.RecordingPath(stream), ec);
    return ec ? 0 : size;
}

}  // namespace window_test

#endif  // TESTS_BROADCASTER_WINDOW_WINDOW_FIXTURE_H
