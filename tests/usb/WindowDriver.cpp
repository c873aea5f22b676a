// Loaded into the loader's window process by the USB tests: once the
// window is ready it presses "Load Firmware", and when the run has ended it
// prints the activity log to standard output and quits. Nothing else in the
// process changes.

#include <QCoreApplication>
#include <QGuiApplication>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QStringListModel>
#include <QTimer>

#include <cstdio>

namespace {

QQuickItem* findItem(QQuickItem* root, const QString& name)
{
    if (!root)
        return nullptr;
    if (root->objectName() == name)
        return root;
    for (QQuickItem* child : root->childItems())
        if (QQuickItem* found = findItem(child, name))
            return found;
    return nullptr;
}

QStringList logOf(QQuickWindow* window)
{
    QQmlEngine* engine = qmlEngine(window);
    QObject* notifications = engine ? engine->rootContext()->contextProperty("notifications").value<QObject*>() : nullptr;
    auto* model = notifications ? notifications->property("messagesModel").value<QStringListModel*>() : nullptr;
    return model ? model->stringList() : QStringList();
}

void finish(const QStringList& log, int code)
{
    for (const QString& row : log)
        std::fputs(row.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
    QCoreApplication::exit(code);
}

void drive()
{
    auto* timer = new QTimer(QCoreApplication::instance());
    auto pressed = std::make_shared<bool>(false);
    auto ticks = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, pressed, ticks] {
        QQuickWindow* window = nullptr;
        for (QWindow* w : QGuiApplication::topLevelWindows())
            if ((window = qobject_cast<QQuickWindow*>(w)))
                break;
        if (++*ticks > 1200) { // a minute
            timer->stop();
            finish(window ? logOf(window) : QStringList(), 3);
            return;
        }
        if (!window)
            return;
        QQuickItem* button = findItem(window->contentItem(), "loadFirmwareButton");
        const QStringList log = logOf(window);
        const QString text = log.join(QString());
        if (!*pressed) {
            if (!button || !button->isVisible() || !button->isEnabled() || !text.contains("open"))
                return;
            *pressed = true;
            QMetaObject::invokeMethod(button, "clicked");
            return;
        }
        if (text.contains("Device programming is complete") || text.contains("...NG")) {
            timer->stop();
            finish(log, 0);
        }
    });
    timer->start(50);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(drive)
