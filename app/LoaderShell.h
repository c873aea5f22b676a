#pragma once

#include "base/Clock.h"
#include "device/d2xx/D2xxDriver.h"
#include "gui/InstrumentAccess.h"

#include <QString>
#include <QUrl>

#include <memory>

class QQmlApplicationEngine;

namespace FwLoaderGui {
class FWUpdateProcessor;
class NotificationPresenter;
}

// The objects the window binds to, and the engine that shows it. Built in
// the order the log depends on: the presenter before the processor, so the
// first row is "Initializing loader..." and every device message follows it.
class LoaderShell
{
public:
    static const QUrl documentUrl; // qrc:/qml/main.qml

    // Creates the engine, publishes the title, the presenter and a processor
    // over `driver` (sleeping on `clock`; each instrument of several on its
    // own, through `access`) to the window. A QGuiApplication must exist;
    // presenter and processor are its children.
    LoaderShell(std::shared_ptr<d2xx::D2xxDriver> driver, Clock& clock, const QString& title,
                FwLoaderGui::InstrumentAccess access = {});
    // Processor first (it waits for a run still going), then presenter, then engine.
    ~LoaderShell();

    LoaderShell(const LoaderShell&) = delete;
    LoaderShell& operator=(const LoaderShell&) = delete;

    // The "firmware" entry beside the executable as a local URL, or an empty
    // URL when there is no such entry.
    static QUrl firmwareDirUrl(const QString& applicationDir);

    // Points the processor at `firmwareDir` and loads the window document;
    // if the document yields no window the event loop ends with -1.
    void load(const QUrl& firmwareDir);
    // The same with the "firmware" entry beside `applicationDir`; while there
    // is nothing there, the window names that place and Refresh Device looks
    // again.
    void loadFrom(const QString& applicationDir);

    // Runs the event loop. Told to quit during a programming run (by the
    // platform, a signal, the session), it keeps the window up, saying so,
    // until the run (every run of Load Firmware on All) has ended on its own
    // terms. Returns the loop's result.
    int exec();
    // The waiting part of exec(): returns once no run is going.
    void finishRun();

    // A start-up error for the user: standard error always, and a message
    // box when there is a display to show it on.
    static void showStartupError(const QString& text);

    QQmlApplicationEngine& engine() { return *qmlEngine; }
    FwLoaderGui::NotificationPresenter& presenter() { return *notifications; }
    FwLoaderGui::FWUpdateProcessor& processor() { return *updateProcessor; }

private:
    static void finishRunAtExit();

    std::unique_ptr<QQmlApplicationEngine> qmlEngine;
    FwLoaderGui::NotificationPresenter* notifications = nullptr;
    FwLoaderGui::FWUpdateProcessor* updateProcessor = nullptr;
};
