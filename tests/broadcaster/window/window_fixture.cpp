#include "window/window_fixture.h"

#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QWebEnginePage>
#include <fstream>
#include <sstream>

#include "app/shockwave_flash.h"
#include "app/user_config.h"

// Last: Xlib's macros (None, Status, True, ...) must not reach the headers above.
#include <X11/Xlib.h>

namespace window_test {

std::string ConfigText(const std::map<std::string, std::string>& device) {
    std::ifstream in(TUTORLANE_APP_SOURCE_DIR "/config.ini");
    std::ostringstream out;
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) {
            const auto it = device.find(line.substr(0, eq));
            if (it != device.end())
                line = it->first + "=" + it->second;
        }
        out << line << "\n";
    }
    return out.str();
}

ProgramFolder::ProgramFolder(const std::string& configText, bool enter) {
    { std::ofstream(Config()) << configText; }
    for (const char* file : {"face.dll", "Quillon.dll"}) {
        std::filesystem::copy_file(std::filesystem::path(TUTORLANE_APP_SOURCE_DIR) / file,
                                   dir_ / file);
    }
    previousSettings_ = app::SettingsPath();
    app::SetSettingsPath(Config().string());
    if (enter) {
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.Path());
        entered_ = true;
    }
}

ProgramFolder::~ProgramFolder() {
    app::SetSettingsPath(previousSettings_);
    if (entered_) {
        std::error_code ec;
        std::filesystem::current_path(previous_, ec);
    }
}

MessageCatcher::MessageCatcher() {
    timer_.setInterval(20);
    connect(&timer_, &QTimer::timeout, this, &MessageCatcher::Poll);
    timer_.start();
}

void MessageCatcher::Poll() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible())
        return;
    texts_.append(box->text());
    if (box->objectName() == QStringLiteral("questionBox")) {
        box->button(yes_ ? QMessageBox::Yes : QMessageBox::No)->click();
        return;
    }
    box->accept();
}

bool WaitFor(const std::function<bool()>& done, int limitMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > limitMs)
            return done();
        QTest::qWait(10);
    }
    return true;
}

bool AskWindowToClose(unsigned long window) {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr)
        return false;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const bool sent = XSendEvent(display, window, False, NoEventMask, &event) != 0;
    XSync(display, False);
    XCloseDisplay(display);
    return sent;
}

QVariant EvaluateInPage(app::CShockwaveFlash* view, const QString& script) {
    bool answered = false;
    QVariant result;
    view->page()->runJavaScript(script, [&](const QVariant& value) {
        result = value;
        answered = true;
    });
    WaitFor([&] { return answered; }, 5000);
    return result;
}

}  // namespace window_test
