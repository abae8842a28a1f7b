#include "app/LaunchChannel.h"

#include <QDataStream>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>

#include <unistd.h>

namespace {

// Sent back once the paths are taken.
constexpr char kTaken = 'K';
// No more paths than an argument list holds.
constexpr qint64 kMostBytes = 64 * 1024 * 1024;

} // namespace

LaunchChannel::LaunchChannel(QObject* parent)
    : QObject(parent)
{ }

LaunchChannel::~LaunchChannel() = default;

QString LaunchChannel::defaultName()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(runtime).exists()) {
        return runtime + QStringLiteral("/korvelcrypt.socket");
    }
    return QDir::tempPath() + QStringLiteral("/korvelcrypt-%1.socket").arg(::getuid());
}

bool LaunchChannel::handOver(const QStringList& paths, const QString& name, int timeoutMs)
{
    // Paths go only to a window of this user: in a shared temporary folder
    // another user could have put a socket under the name.
    const QFileInfo socketFile(name);
    if (!socketFile.exists() || socketFile.ownerId() != ::getuid()) {
        return false;
    }
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(timeoutMs)) {
        return false;
    }
    QByteArray message;
    QDataStream out(&message, QIODevice::WriteOnly);
    out << paths;
    QDataStream sizeOut(&socket);
    sizeOut << qint64(message.size());
    socket.write(message);
    if (!socket.waitForBytesWritten(timeoutMs)) {
        return false;
    }
    while (socket.bytesAvailable() < 1) {
        if (!socket.waitForReadyRead(timeoutMs)) {
            return false;
        }
    }
    char answer = 0;
    return socket.getChar(&answer) && answer == kTaken;
}

bool LaunchChannel::listen(const QString& name)
{
    delete m_server;
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(name)) {
        // Nobody answers there: a socket file left by a program that ended.
        QLocalSocket probe;
        probe.connectToServer(name);
        if (probe.waitForConnected(1000)) {
            delete m_server;
            m_server = nullptr;
            return false;
        }
        QLocalServer::removeServer(name);
        if (!m_server->listen(name)) {
            delete m_server;
            m_server = nullptr;
            return false;
        }
    }
    connect(m_server, &QLocalServer::newConnection, this, &LaunchChannel::onConnection);
    return true;
}

bool LaunchChannel::isListening() const
{
    return m_server && m_server->isListening();
}

void LaunchChannel::onConnection()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket = QPointer<QLocalSocket>(socket)] {
            if (!socket) {
                return;
            }
            qint64 size = -1;
            if (socket->bytesAvailable() < qint64(sizeof(qint64))) {
                return;
            }
            QDataStream sizeIn(socket->peek(sizeof(qint64)));
            sizeIn >> size;
            if (size < 0 || size > kMostBytes) {
                socket->abort();
                return;
            }
            if (socket->bytesAvailable() < qint64(sizeof(qint64)) + size) {
                return;
            }
            socket->read(sizeof(qint64));
            QDataStream in(socket->read(size));
            QStringList paths;
            in >> paths;
            if (in.status() != QDataStream::Ok) {
                socket->abort();
                return;
            }
            socket->putChar(kTaken);
            socket->flush();
            emit filesArrived(paths);
        });
    }
}
