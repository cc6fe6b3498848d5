// The broadcaster's message boxes: modal, one OK button, the program file's name as caption, owned
// by the main window when it exists. For automation, TUTORLANE_MESSAGE_LOG=<file> appends every
// text as a line and TUTORLANE_MESSAGE_AUTOCLOSE_MS=<n> closes each box by itself after n ms.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <string>

#include "capture/message_sink.h"

namespace app {

// Shows text and returns when the box is closed. Must run on the UI thread.
void ShowAppMessage(QWidget* owner, const QString& text);
// Asks a yes/no question; true for yes. An automatic close (see above) answers no.
bool AskAppQuestion(QWidget* owner, const QString& text);
// The caption: the program file's name without its extension.
QString ApplicationCaption();

// Messages from the settings, launch and capture code. A message from another thread is handed
// to the UI thread and shown there; the caller does not wait for it.
class WindowMessageSink final : public capture::MessageSink {
  public:
    explicit WindowMessageSink(QWidget* owner = nullptr) : owner_(owner) {}
    void SetOwner(QWidget* owner) { owner_ = owner; }
    void ShowMessage(const std::string& text) override;

  private:
    QPointer<QWidget> owner_;
};

}  // namespace app
