// Launch URLs of later starts reach the running window over a local socket in the user's
// runtime folder: the second process sends its URL and ends; the window decides what to do.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <string>

namespace app {

class LaunchListener : public QObject {
    Q_OBJECT

  public:
    explicit LaunchListener(QObject* parent = nullptr);
    // Listens on InstanceSocketPath(), in place of what an earlier run of this user's left
    // there; only the holder of the instance lock may call it. False, with Error() telling why,
    // when the name can't be taken (another user's file is never replaced).
    bool Listen();
    const std::string& Error() const { return error_; }

  signals:
    void LaunchUrlArrived(const QString& url);

  private:
    void OnConnection();
    QLocalServer server_;
    std::string error_;
};

// Hands url to the running instance. "" when it was taken; otherwise why not (nothing listens,
// the socket or the process at its other end isn't this user's, the URL can't be sent).
std::string ForwardLaunchUrl(const std::string& url);

}  // namespace app
