#include "app/launch_channel.h"

#include <QLocalSocket>

#include "app/launch.h"
#include "app/platform/file_io.h"
#include "app/platform/local_socket.h"
#include "app/single_instance.h"

namespace app {
namespace {

constexpr qint64 kMaxUrlBytes = 4096;
constexpr int kForwardLimitMs = 2000;

// Whether the process at the other end of socket is one of this user's.
bool PeerTrusted(const QLocalSocket& socket) {
    return LaunchPeerTrusted(platform::PeerUserId(socket.socketDescriptor()), platform::UserId());
}

}  // namespace

LaunchListener::LaunchListener(QObject* parent) : QObject(parent) {
    connect(&server_, &QLocalServer::newConnection, this, &LaunchListener::OnConnection);
}

bool LaunchListener::Listen() {
    const std::string path = InstanceSocketPath();
    // Whatever this user left at the name comes from an earlier run: the lock is held.
    error_ = platform::ClearOwnLeftover(path);
    if (!error_.empty())
        return false;
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_.listen(QString::fromStdString(path))) {
        error_ = path + ": " + server_.errorString().toStdString();
        return false;
    }
    return true;
}

void LaunchListener::OnConnection() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        if (!PeerTrusted(*socket)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
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

std::string ForwardLaunchUrl(const std::string& url) {
    if (url.find_first_of("\r\n") != std::string::npos ||
        url.size() > static_cast<size_t>(kMaxUrlBytes) - 1)
        return "the address is too long or has a line break";
    const std::string path = InstanceSocketPath();
    std::string problem = platform::OwnSocketProblem(path);
    if (!problem.empty())
        return problem;
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(path));
    if (!socket.waitForConnected(kForwardLimitMs))
        return path + ": " + socket.errorString().toStdString();
    if (!PeerTrusted(socket)) {
        socket.abort();
        return path + ": the program listening there is not this user's";
    }
    socket.write(QByteArray::fromStdString(url + "\n"));
    socket.flush();
    while (problem.empty() && socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(kForwardLimitMs))
            problem = path + ": " + socket.errorString().toStdString();
    }
    socket.disconnectFromServer();
    return problem;
}

}  // namespace app
