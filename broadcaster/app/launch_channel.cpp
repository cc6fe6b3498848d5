#include "app/launch_channel.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QLocalSocket>
#include <memory>

#include "app/launch.h"
#include "app/single_instance.h"

namespace app {
namespace {

constexpr qint64 kMaxUrlBytes = 4096;
constexpr int kForwardLimitMs = 2000;

}  // namespace

LaunchListener::LaunchListener(QObject* parent) : QObject(parent) {
    connect(&server_, &QLocalServer::newConnection, this, &LaunchListener::OnConnection);
}

bool LaunchListener::Listen() {
    const QString path = QString::fromStdString(InstanceSocketPath());
    // Whatever is left at the name comes from an earlier run of ours: the lock is held.
    QLocalServer::removeServer(path);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    return server_.listen(path);
}

void LaunchListener::OnConnection() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > kMaxUrlBytes)
                    socket->abort();
                return;
            }
            const QByteArray line = socket->readLine(kMaxUrlBytes).trimmed();
            socket->disconnectFromServer();
            if (line.startsWith(kLaunchPrefix))
                emit LaunchUrlArrived(QString::fromUtf8(line));
        });
    }
}

bool ForwardLaunchUrl(const std::string& url) {
    const std::string path = InstanceSocketPath();
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_uid != geteuid())
        return false;
    if (url.find_first_of("\r\n") != std::string::npos ||
        url.size() > static_cast<size_t>(kMaxUrlBytes) - 1)
        return false;
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(path));
    if (!socket.waitForConnected(kForwardLimitMs))
        return false;
    socket.write(QByteArray::fromStdString(url + "\n"));
    socket.flush();
    bool sent = true;
    while (sent && socket.bytesToWrite() > 0)
        sent = socket.waitForBytesWritten(kForwardLimitMs);
    socket.disconnectFromServer();
    return sent;
}

}  // namespace app
