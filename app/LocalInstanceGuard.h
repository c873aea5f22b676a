#pragma once

#include "app/InstanceGuard.h"

#include <QLocalServer>
#include <QObject>
#include <QString>

class QLocalSocket;
class QWindow;

// The single-instance guard on Linux and other Unix systems. The lock is an
// flock() on "<directory>/<name>.lock": the kernel drops it when the process
// dies in any way, so a crashed copy never blocks the next start. The copy
// holding it listens on the local socket "<directory>/<name>.socket"; a later
// start sends "raise" there and is answered "raised" or "no-window".
class LocalInstanceGuard final : public QObject, public InstanceGuard
{
    Q_OBJECT

public:
    // The user's runtime directory (XDG_RUNTIME_DIR), else the temp directory.
    static QString defaultDirectory();

    LocalInstanceGuard(const QString& name, const QString& title, const QString& directory,
                       QObject* parent = nullptr);
    // Releases the lock and removes the socket.
    ~LocalInstanceGuard() override;

    bool acquire() override;

    QString lockPath() const;
    QString socketPath() const;
    // The running copy's answer to the last request this copy sent.
    QString reply() const { return lastReply; }

signals:
    // Another start asked for the window; `window` is the one raised, or
    // nullptr when no window carries the title yet.
    void raiseRequested(QWindow* window);

private:
    void askRunningCopy();
    void serve(QLocalSocket* socket);
    QWindow* raiseWindow();

    QString name;
    QString title;
    QString directory;
    int lockFd = -1;
    QLocalServer server;
    QString lastReply;
};
