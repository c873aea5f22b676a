#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP (a kill, Ctrl+C, the end of a session)
// into a normal quit of the event loop, so the usual teardown runs: it waits
// for a programming run instead of cutting a flash write short.
class SignalQuitter final : public QObject
{
    Q_OBJECT

public:
    explicit SignalQuitter(QObject* parent = nullptr);
    // Gives the signals back to their default action.
    ~SignalQuitter() override;

private:
    static void onSignal(int signal);

    QSocketNotifier* notifier = nullptr;
};
