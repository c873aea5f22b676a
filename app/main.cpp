// pravel-fw-loader: the window that writes firmware into the instrument's
// configuration flash.

#include "app/InstanceGuard.h"
#include "app/LoaderShell.h"
#ifndef _WIN32
#include "app/SignalQuitter.h"
#endif
#include "base/Clock.h"
#include "device/d2xx/DriverSelection.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QQuickWindow>

#include <iostream>
#include <memory>
#include <string>

int main(int argc, char* argv[])
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QQuickWindow::setTextRenderType(QQuickWindow::NativeTextRendering);

    QCommandLineParser parser;
    parser.addHelpOption();

    // QApplication rather than QGuiApplication: where the desktop has no
    // native file dialog, the window's dialog falls back to Qt Widgets.
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Corvane"));
    QCoreApplication::setApplicationName(QStringLiteral("Pravel FW Loader"));

    // Prints the help (exit 0) or the unknown option (exit 1) and ends the process.
    parser.process(app);

    const std::string title = "Pravel FW Loader";

    std::unique_ptr<InstanceGuard> guard = InstanceGuard::create("PravelAppMutex", title);
    if (!guard->acquire())
        return 0;

    std::string error;
    const d2xx::DriverSelection selection = d2xx::DriverSelection::fromEnvironment(error);
    if (!selection) {
        std::cerr << error << "\n";
        return 1;
    }

#ifndef _WIN32
    SignalQuitter quitOnSignal;
#endif

    int result = 0;
    {
        // Real time even on the emulated instrument: a run in the window is
        // meant to be watched.
        LoaderShell shell(selection.driver(), Clock::system(), QString::fromStdString(title));
        shell.load(LoaderShell::firmwareDirUrl(QCoreApplication::applicationDirPath()));
        result = app.exec();
    }
    guard.reset();
    return result;
}
