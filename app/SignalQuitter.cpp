#include "app/SignalQuitter.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The handler may only write to a descriptor; the event loop reads the other end.
int wakeFds[2] = {-1, -1};
const int handledSignals[] = {SIGTERM, SIGINT, SIGHUP};

} // namespace

SignalQuitter::SignalQuitter(QObject* parent) : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, wakeFds) != 0)
        return;
    ::fcntl(wakeFds[1], F_SETFL, O_NONBLOCK);
    notifier = new QSocketNotifier(wakeFds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [] {
        char drained[16];
        (void)!::read(wakeFds[0], drained, sizeof drained);
        QCoreApplication::quit();
    });

    struct sigaction action = {};
    action.sa_handler = &SignalQuitter::onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : handledSignals)
        ::sigaction(signal, &action, nullptr);
}

SignalQuitter::~SignalQuitter()
{
    if (!notifier)
        return;
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signal : handledSignals)
        ::sigaction(signal, &action, nullptr);
    delete notifier;
    notifier = nullptr;
    ::close(wakeFds[0]);
    ::close(wakeFds[1]);
    wakeFds[0] = wakeFds[1] = -1;
}

void SignalQuitter::onSignal(int)
{
    const char byte = 1;
    (void)!::write(wakeFds[1], &byte, 1);
}
