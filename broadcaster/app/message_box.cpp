#include "app/message_box.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <cstdlib>

namespace app {
namespace {

void AppendToMessageLog(const QString& text) {
    const char* path = std::getenv("TUTORLANE_MESSAGE_LOG");
    if (path == nullptr || *path == '\0')
        return;
    QFile log(QString::fromLocal8Bit(path));
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    QString line = text;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    log.write(line.toUtf8() + '\n');
}

int AutoCloseMs() {
    const char* value = std::getenv("TUTORLANE_MESSAGE_AUTOCLOSE_MS");
    if (value == nullptr || *value == '\0')
        return -1;
    char* end = nullptr;
    const long ms = std::strtol(value, &end, 10);
    if (end == value || ms < 0 || ms > 3600 * 1000)
        return -1;
    return static_cast<int>(ms);
}

}  // namespace

QString ApplicationCaption() {
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

void ShowAppMessage(QWidget* owner, const QString& text) {
    AppendToMessageLog(text);
    QMessageBox box(QMessageBox::NoIcon, ApplicationCaption(), text, QMessageBox::Ok, owner);
    box.setObjectName(QStringLiteral("messageBox"));
    // Addresses and server names come from classroom pages: never read as markup.
    box.setTextFormat(Qt::PlainText);
    // In the program's language: Qt's own buttons would be English on a Chinese desktop.
    box.button(QMessageBox::Ok)->setText(QCoreApplication::translate("message_box", "确定"));
    const int autoClose = AutoCloseMs();
    if (autoClose >= 0)
        QTimer::singleShot(autoClose, &box, &QMessageBox::accept);
    box.exec();
}

bool AskAppQuestion(QWidget* owner, const QString& text) {
    AppendToMessageLog(text);
    QMessageBox box(QMessageBox::Question, ApplicationCaption(), text,
                    QMessageBox::Yes | QMessageBox::No, owner);
    box.setObjectName(QStringLiteral("questionBox"));
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::No);
    box.button(QMessageBox::Yes)->setText(QCoreApplication::translate("message_box", "是(&Y)"));
    box.button(QMessageBox::No)->setText(QCoreApplication::translate("message_box", "否(&N)"));
    const int autoClose = AutoCloseMs();
    if (autoClose >= 0)
        QTimer::singleShot(autoClose, &box, [&box] { box.button(QMessageBox::No)->click(); });
    box.exec();
    return box.clickedButton() == box.button(QMessageBox::Yes);
}

void WindowMessageSink::ShowMessage(const std::string& text) {
    const QString message = QString::fromStdString(text);
    if (QThread::currentThread() == qApp->thread()) {
        ShowAppMessage(owner_, message);
        return;
    }
    QPointer<QWidget> owner = owner_;
    QMetaObject::invokeMethod(
        qApp, [owner, message] { ShowAppMessage(owner, message); }, Qt::QueuedConnection);
}

}  // namespace app
