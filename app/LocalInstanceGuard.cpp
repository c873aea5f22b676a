#include "app/LocalInstanceGuard.h"

#include <QDir>
#include <QGuiApplication>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QWindow>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <sys/file.h>
#include <unistd.h>

namespace {

const QByteArray raiseRequest = "raise\n";
const QByteArray raisedReply = "raised\n";
const QByteArray noWindowReply = "no-window\n";
// A running copy answers from its event loop at once; past this the second
// start gives up and ends all the same.
const int replyTimeoutMs = 2000;

} // namespace

QString LocalInstanceGuard::defaultDirectory()
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return dir.isEmpty() ? QDir::tempPath() : dir;
}

LocalInstanceGuard::LocalInstanceGuard(const QString& name, const QString& title, const QString& directory,
                                       QObject* parent)
    : QObject(parent), name(name), title(title), directory(directory)
{
    connect(&server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server.nextPendingConnection())
            serve(socket);
    });
}

LocalInstanceGuard::~LocalInstanceGuard()
{
    if (server.isListening())
        server.close(); // also removes the socket file
    if (lockFd >= 0)
        ::close(lockFd);
}

QString LocalInstanceGuard::lockPath() const
{
    return directory + QLatin1Char('/') + name + QStringLiteral(".lock");
}

QString LocalInstanceGuard::socketPath() const
{
    return directory + QLatin1Char('/') + name + QStringLiteral(".socket");
}

bool LocalInstanceGuard::acquire()
{
    QDir().mkpath(directory);
    const QByteArray path = QFile::encodeName(lockPath());
    lockFd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd < 0) {
        // Refusing to start because of an unusable directory would lock the
        // user out for good; run unguarded instead.
        std::cerr << "Warning: cannot open the instance lock " << path.constData() << ": " << std::strerror(errno)
                  << "\n";
        return true;
    }
    if (::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        const int failure = errno;
        ::close(lockFd);
        lockFd = -1;
        if (failure == EWOULDBLOCK) {
            askRunningCopy();
            return false;
        }
        std::cerr << "Warning: cannot take the instance lock " << path.constData() << ": "
                  << std::strerror(failure) << "\n";
        return true;
    }
    // We hold the lock, so a socket file left here belongs to a copy that died.
    QLocalServer::removeServer(socketPath());
    server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server.listen(socketPath()))
        std::cerr << "Warning: another start cannot reach this one: " << server.errorString().toStdString() << "\n";
    return true;
}

void LocalInstanceGuard::askRunningCopy()
{
    lastReply.clear();
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (socket.waitForConnected(replyTimeoutMs)) {
        socket.write(raiseRequest);
        socket.flush();
        while (!socket.canReadLine() && socket.waitForReadyRead(replyTimeoutMs)) {
        }
        lastReply = QString::fromLatin1(socket.readLine()).trimmed();
    }
    if (lastReply == QLatin1String("raised"))
        std::cout << title.toStdString() << " is already running; its window was brought forward.\n";
    else
        std::cout << title.toStdString() << " is already running.\n";
}

void LocalInstanceGuard::serve(QLocalSocket* socket)
{
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    auto answer = [this, socket] {
        if (!socket->canReadLine()) {
            if (socket->bytesAvailable() > 64) // not one of ours
                socket->abort();
            return;
        }
        const QByteArray request = socket->readLine();
        if (request == raiseRequest) {
            QWindow* window = raiseWindow();
            socket->write(window ? raisedReply : noWindowReply);
            socket->flush();
            emit raiseRequested(window);
        }
        socket->disconnectFromServer();
    };
    connect(socket, &QLocalSocket::readyRead, this, answer);
    // The request may have arrived with the connection itself.
    if (socket->canReadLine())
        answer();
}

QWindow* LocalInstanceGuard::raiseWindow()
{
    for (QWindow* window : QGuiApplication::topLevelWindows()) {
        if (window->title() != title)
            continue;
        if (window->windowStates() & Qt::WindowMinimized)
            window->setWindowStates(window->windowStates() & ~Qt::WindowMinimized);
        window->show();
        window->raise();
        window->requestActivate();
        return window;
    }
    return nullptr;
}
