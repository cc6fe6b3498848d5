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
    // Listens on InstanceSocketPath(); only the holder of the instance lock may call it.
    bool Listen();

  signals:
    void LaunchUrlArrived(const QString& url);

  private:
    void OnConnection();
    QLocalServer server_;
};

// Hands url to the running instance; false when none listens (or the socket isn't this
// user's).
bool ForwardLaunchUrl(const std::string& url);

}  // namespace app
