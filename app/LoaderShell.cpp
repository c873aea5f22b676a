#include "app/LoaderShell.h"

#include "app/FirmwareCheck.h"
#include "app/WindowFit.h"
#include "gui/FWUpdateProcessor.h"
#include "gui/NotificationPresenter.h"

#include <QApplication>
#include <QDir>
#include <QFontDatabase>
#include <QMessageBox>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QWindow>

#include <atomic>
#include <cstdlib>
#include <iostream>

const QUrl LoaderShell::documentUrl(QStringLiteral("qrc:/qml/main.qml"));

namespace {

const char finishingText[] = "Finishing the programming run before exit...";
// The window's size wherever the screen has room for it.
const QSize windowSize(800, 600);

// The processor whose run an exit() must wait for (see finishRunAtExit).
std::atomic<FwLoaderGui::FWUpdateProcessor*> exitWaitsFor{nullptr};

} // namespace

LoaderShell::LoaderShell(std::shared_ptr<d2xx::D2xxDriver> driver, Clock& clock, const QString& title,
                         FwLoaderGui::InstrumentAccess access)
    : qmlEngine(std::make_unique<QQmlApplicationEngine>())
{
    QQmlContext* context = qmlEngine->rootContext();
    context->setContextProperty(QStringLiteral("appTitle"), QVariant(title));
    qmlEngine->addImportPath(QStringLiteral("qrc:/"));

    notifications = new FwLoaderGui::NotificationPresenter(QCoreApplication::instance());
    context->setContextProperty(QStringLiteral("notifications"), notifications);
    notifications->addMessage("Initializing loader...");

    updateProcessor = new FwLoaderGui::FWUpdateProcessor(std::move(driver), clock, QCoreApplication::instance());
    updateProcessor->setInstrumentAccess(std::move(access));
    context->setContextProperty(QStringLiteral("fwUpdateProcessor"), updateProcessor);

    context->setContextProperty(QStringLiteral("firmwareCheck"), new FirmwareCheck(qmlEngine.get()));
    context->setContextProperty(QStringLiteral("fixedFont"), QFontDatabase::systemFont(QFontDatabase::FixedFont));

    // Some platform plugins end the process with exit() when the display goes
    // (Qt's X11 one when the X server dies): no stack unwinds then, so only
    // an exit handler can keep the flash from being left half-written.
    static const bool registered = std::atexit(&LoaderShell::finishRunAtExit) == 0;
    (void)registered;
    exitWaitsFor.store(updateProcessor);
}

void LoaderShell::finishRunAtExit()
{
    FwLoaderGui::FWUpdateProcessor* processor = exitWaitsFor.exchange(nullptr);
    if (!processor)
        return;
    if (processor->isProgramming())
        std::cerr << finishingText << std::endl;
    // Nobody is left to answer the run's question.
    processor->declineQuestion();
    processor->waitForProgramming();
}

LoaderShell::~LoaderShell()
{
    exitWaitsFor.store(nullptr);
    if (updateProcessor->isProgramming())
        std::cerr << "Waiting for the programming run to finish before exiting.\n";
    // The window outlives both objects by a moment: it sees them withdrawn
    // (its "no processor" bindings) rather than holding dangling pointers.
    QQmlContext* context = qmlEngine->rootContext();
    context->setContextProperty(QStringLiteral("fwUpdateProcessor"), QVariant::fromValue<QObject*>(nullptr));
    delete updateProcessor;
    context->setContextProperty(QStringLiteral("notifications"), QVariant::fromValue<QObject*>(nullptr));
    delete notifications;
    qmlEngine.reset();
}

QUrl LoaderShell::firmwareDirUrl(const QString& applicationDir)
{
    const QDir dir(applicationDir);
    if (!dir.exists(QStringLiteral("firmware")))
        return QUrl();
    return QUrl::fromLocalFile(QDir::toNativeSeparators(applicationDir + QStringLiteral("/firmware")));
}

void LoaderShell::loadFrom(const QString& applicationDir)
{
    updateProcessor->setFirmwareHome(applicationDir + QStringLiteral("/firmware"));
    load(firmwareDirUrl(applicationDir));
}

int LoaderShell::exec()
{
    const int result = QCoreApplication::exec();
    finishRun();
    return result;
}

void LoaderShell::finishRun()
{
    if (!updateProcessor->isProgramming())
        return;
    // A run waiting for the user's answer ends at once, without writing.
    updateProcessor->declineQuestion();
    std::cerr << finishingText << std::endl;
    for (QObject* root : qmlEngine->rootObjects())
        root->setProperty("finishingBeforeExit", true);

    // The application's own loop again: a nested one would not run at all
    // once quit was asked for while it ran. Another quit request ends this
    // loop as well, so it only starts again.
    // The end of the run reaches the loop through this object; its going
    // takes a notice still queued with it, so no quit is left for later.
    QObject waiting;
    QObject::connect(
        updateProcessor, &FwLoaderGui::FWUpdateProcessor::isProgrammingChanged, &waiting,
        [](bool running) {
            if (!running)
                QCoreApplication::exit(0);
        },
        Qt::QueuedConnection);
    while (updateProcessor->isProgramming())
        QCoreApplication::exec();
}

void LoaderShell::showStartupError(const QString& text)
{
    std::cerr << text.toStdString() << std::endl;
    const QString platform = QGuiApplication::platformName();
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()) || platform == QLatin1String("offscreen") ||
        platform == QLatin1String("minimal"))
        return;
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Pravel FW Loader"), text, QMessageBox::Ok);
    box.setObjectName(QStringLiteral("startupErrorBox"));
    box.exec();
}

void LoaderShell::load(const QUrl& firmwareDir)
{
    updateProcessor->setFirmwareDir(firmwareDir);
    QObject::connect(
        qmlEngine.get(), &QQmlApplicationEngine::objectCreated, QCoreApplication::instance(),
        [](QObject* object, const QUrl& url) {
            if (!object && url == documentUrl)
                QCoreApplication::exit(-1);
        },
        Qt::QueuedConnection);
    qmlEngine->load(documentUrl);
    for (QObject* root : qmlEngine->rootObjects())
        if (auto* window = qobject_cast<QWindow*>(root))
            new WindowFit(window, windowSize);
}
