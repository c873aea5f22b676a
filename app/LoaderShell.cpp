#include "app/LoaderShell.h"

#include "gui/FWUpdateProcessor.h"
#include "gui/NotificationPresenter.h"

#include <QCoreApplication>
#include <QDir>
#include <QQmlApplicationEngine>
#include <QQmlContext>

#include <iostream>

const QUrl LoaderShell::documentUrl(QStringLiteral("qrc:/qml/main.qml"));

LoaderShell::LoaderShell(std::shared_ptr<d2xx::D2xxDriver> driver, Clock& clock, const QString& title)
    : qmlEngine(std::make_unique<QQmlApplicationEngine>())
{
    QQmlContext* context = qmlEngine->rootContext();
    context->setContextProperty(QStringLiteral("appTitle"), QVariant(title));
    qmlEngine->addImportPath(QStringLiteral("qrc:/"));

    notifications = new FwLoaderGui::NotificationPresenter(QCoreApplication::instance());
    context->setContextProperty(QStringLiteral("notifications"), notifications);
    notifications->addMessage("Initializing loader...");

    updateProcessor = new FwLoaderGui::FWUpdateProcessor(std::move(driver), clock, QCoreApplication::instance());
    context->setContextProperty(QStringLiteral("fwUpdateProcessor"), updateProcessor);
}

LoaderShell::~LoaderShell()
{
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
}
