// pravel-fw-loader: the window that writes firmware into the instrument's
// configuration flash.

#include "app/InstanceGuard.h"
#include "app/LoaderShell.h"
#ifndef _WIN32
#include "app/SignalQuitter.h"
#endif
#include "composition/DriverSelection.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QQuickWindow>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

namespace {

// Arguments the GUI application takes for itself (with whether a value
// follows); the parser must let them through, and not show them in the help.
const std::pair<const char*, bool> guiArguments[] = {
    {"platform", true}, {"platformpluginpath", true}, {"platformtheme", true}, {"plugin", true},
    {"qwindowgeometry", true}, {"qwindowicon", true}, {"qwindowtitle", true}, {"geometry", true},
    {"title", true}, {"icon", true}, {"display", true}, {"name", true}, {"style", true},
    {"stylesheet", true}, {"session", true}, {"qmljsdebugger", true}, {"reverse", false},
    {"widgetcount", false}, {"nograb", false}, {"dograb", false}, {"sync", false}};

// Whether a GUI application can start here: on X11 and Wayland desktops a
// missing display makes it abort instead of failing.
bool displayExpected(int argc, char* argv[])
{
#if defined(_WIN32) || defined(__APPLE__)
    (void)argc;
    (void)argv;
    return true;
#else
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return true;
    }
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    return false;
#endif
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QQuickWindow::setTextRenderType(QQuickWindow::NativeTextRendering);
    QCoreApplication::setOrganizationName(QStringLiteral("Corvane"));
    QCoreApplication::setApplicationName(QStringLiteral("Pravel FW Loader"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PRAVEL_VERSION));

    QCommandLineParser parser;
    // Qt's own options are single-dash words ("-platform offscreen").
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    for (const auto& [name, takesValue] : guiArguments) {
        QCommandLineOption option(QString::fromLatin1(name));
        if (takesValue)
            option.setValueName(QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

    // The options first, on a core application: the help and an option error
    // need no display, and the GUI application aborts where there is none.
    {
        QCoreApplication options(argc, argv);
        // Prints the help (exit 0) or the unknown option (exit 1) and ends the process.
        parser.process(options);
    }

    if (!displayExpected(argc, argv)) {
        // Still worth knowing that the device settings are wrong too.
        std::string driverError;
        const bool driverOk = static_cast<bool>(DriverSelection::fromEnvironment(driverError));
        std::cerr << (driverOk ? "pravel-fw-loader: no display to show the window on (DISPLAY and WAYLAND_DISPLAY are unset)"
                               : driverError)
                  << std::endl;
        return 1;
    }

    // QApplication rather than QGuiApplication: where the desktop has no
    // native file dialog, the window's dialog falls back to Qt Widgets.
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("pravel-fw-loader"),
                                                 QIcon(QStringLiteral(":/pravel-fw-loader.svg"))));

    const std::string title = "Pravel FW Loader";

    std::unique_ptr<InstanceGuard> guard = InstanceGuard::create("PravelAppMutex", title);
    if (!guard->acquire())
        return 0;

    std::string driverError;
    const DriverSelection selection = DriverSelection::fromEnvironment(driverError);
    if (!selection) {
        LoaderShell::showStartupError(QString::fromStdString(driverError));
        return 1;
    }

#ifndef _WIN32
    SignalQuitter quitOnSignal;
#endif

    int result = 0;
    {
        // The emulated instrument's own clock, so that the loader's waits and
        // the flash's busy times are counted alike; a demo paces it to real
        // time (PRAVEL_EMULATED_PACE=realtime).
        // Each instrument of several on its own clock and driver: side by
        // side they do not add up their times, nor wait for one another.
        FwLoaderGui::InstrumentAccess access;
        access.driverFor = [&selection](const std::string& serial) { return selection.driverFor(serial); };
        access.clockFor = [&selection](const std::string& serial) -> Clock& { return selection.clockFor(serial); };
        access.device = selection.isEmulated() ? DriverSelection::emulatedDevice : DriverSelection::deviceOf({});
        LoaderShell shell(selection.driver(), selection.clock(), QString::fromStdString(title), std::move(access));
        shell.loadFrom(QCoreApplication::applicationDirPath());
        result = shell.exec();
    }
    guard.reset();
    return result;
}
