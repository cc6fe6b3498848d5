// Helpers for driving the real window: a program folder in a temp directory as the current
// directory, a catcher that reads and closes message boxes, waiting with the event loop running,
// and the classroom page's text.
#ifndef TESTS_BROADCASTER_WINDOW_WINDOW_FIXTURE_H
#define TESTS_BROADCASTER_WINDOW_WINDOW_FIXTURE_H

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QWebEnginePage>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include "app/audio_device_table.h"
#include "app/broadcaster_dlg.h"
#include "app/ini_file.h"
#include "app/launch_kit.h"
#include "app/shockwave_flash.h"
#include "app/user_config.h"
#include "support/child_process.h"
#include "support/nginx_rtmp_server.h"

// Qt's strings as text in GoogleTest's messages.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace window_test {

using app::test::LaunchUrl;
using app::test::Shifted;
using rtmp::test::NginxRtmpServer;
using rtmp::test::ReadTextFile;
using rtmp::test::RunProcess;
using rtmp::test::TempDir;
using rtmp::test::WaitUntil;
using namespace std::chrono_literals;

// A Chinese character or a full-width sign: none shows where the texts are English.
inline const QRegularExpression kChinese(
    QStringLiteral("[\\x{3000}-\\x{9fff}\\x{ff00}-\\x{ffef}]"));

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

// A program folder: config.ini, face.dll and Quillon.dll (and copies of built programs) in a temp
// directory, its config.ini the window's settings file (and, when entered, the folder the current
// directory) for the object's lifetime.
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
    // A copy of a built program in the folder.
    std::filesystem::path Copy(const std::filesystem::path& program) const {
        std::filesystem::copy_file(program, Path() / program.filename());
        return Path() / program.filename();
    }

  private:
    TempDir dir_{"tutorlane_window"};
    const std::filesystem::path previous_ = std::filesystem::current_path();
    const std::string previousSettings_ = app::SettingsPath();
};

// Reads and accepts every message box that becomes the application's modal window, noting its
// text; questions get the answer `yes` (no, unless told otherwise).
struct MessageCatcher {
    MessageCatcher() {
        QObject::connect(&timer, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible())
                return;
            texts.append(box->text());
            for (const QAbstractButton* button : box->buttons())
                buttons.append(button->text());
            // Texts from classroom pages among them: none is read as markup.
            EXPECT_EQ(box->textFormat(), Qt::PlainText) << box->text().toStdString();
            if (box->objectName() == QStringLiteral("questionBox"))
                box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
            else
                box->accept();
        });
        timer.start(20);
    }
    // The texts as one line, for failure messages.
    std::string Said() const { return texts.join("|").toStdString(); }
    QTimer timer;
    QStringList texts;
    QStringList buttons;  // of every box, in the box's order
    bool yes = false;
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
    // Broadcasting: the start button hidden and disabled, the stop button shown and enabled, the
    // feeder running; idle the other way round.
    bool Shows(bool broadcasting) {
        QPushButton* start = Control("ctl1012");
        QPushButton* stop = Control("ctl1043");
        return start->isHidden() == broadcasting && start->isEnabled() != broadcasting &&
               stop->isHidden() != broadcasting && stop->isEnabled() == broadcasting &&
               (dialog.Feeder() != nullptr && dialog.Feeder()->Running()) == broadcasting;
    }
    // Adds an ALSA device to the audio list, as the window lists one, and chooses it.
    bool ChooseMicrophone(const std::string& pcm) {
        const auto slot = app::AudioDeviceTable::Instance().Add(pcm);
        auto* audio = Control<QComboBox>("ctl1055");
        if (!slot)
            return false;
        audio->addItem(QString::fromStdString(pcm),
                       QVariant::fromValue(static_cast<qulonglong>(*slot)));
        audio->setCurrentIndex(audio->count() - 1);
        return true;
    }
    ProgramFolder folder;
    MessageCatcher messages;
    app::CBroadcasterDlg dialog;
};

// The value of a script in the classroom page (invalid QVariant when no answer came).
inline QVariant EvaluateInPage(app::CShockwaveFlash* view, const QString& script) {
    std::optional<QVariant> result;
    view->page()->runJavaScript(script, [&](const QVariant& value) { result = value; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, 5000));
    return result.value_or(QVariant());
}

// The text of the classroom page's element with the given id.
inline QString PageText(app::CShockwaveFlash* view, const char* id) {
    const QString script = QStringLiteral("document.getElementById('%1').textContent").arg(id);
    return EvaluateInPage(view, script).toString();
}

// Whether a label's text shows whole in its box: no line wider than the box, and the lines (as
// the label lays them out at its width) no taller.
inline testing::AssertionResult ShowsWhole(const QLabel* label) {
    const QFontMetrics metrics = label->fontMetrics();
    const QRect box = label->contentsRect();
    const int needed = label->heightForWidth(label->width());
    bool whole = needed <= label->height();
    for (const QString& line : label->text().split(QLatin1Char('\n')))
        whole = whole && metrics.horizontalAdvance(line) <= box.width();
    if (whole)
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "\"" << label->text().toStdString() << "\" overflows " << box.width() << "x"
           << box.height() << " (needs " << needed << " high)";
}

// Bytes the server recorded of a stream; 0 while there is no recording.
inline uintmax_t Recorded(const NginxRtmpServer& server, const char* stream) {
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(server.RecordingPath(stream), ec);
    return ec ? 0 : size;
}

}  // namespace window_test

#endif  // TESTS_BROADCASTER_WINDOW_WINDOW_FIXTURE_H
