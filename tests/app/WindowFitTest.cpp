// The window on an X server of 1366 x 768 (Xvfb) at the scale factor the
// test runs with (QT_SCALE_FACTOR): 800 x 600 where that fits, else the
// screen's available area; every control on screen, in both tabs and in the
// file-kind question, with three instruments' rows of Load Firmware on All,
// the outcome panel at its tallest and the log keeping a few rows.

#include "tests/support/Emulated.h"

#include "app/LoaderShell.h"
#include "app/WindowFit.h"
#include "emulator/VirtualClock.h"
#include "gui/FWUpdateProcessor.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

class WindowFitTest : public QObject
{
    Q_OBJECT

private slots:
    void everyControlIsOnScreen();
};

void WindowFitTest::everyControlIsOnScreen()
{
    // Three instruments; the one chosen shows five numbered steps.
    const auto driver = testsupport::emulatedBench("corrupted,corrupted,corrupted");
    QTemporaryDir dir;
    LoaderShell shell(driver, driver->clock(), QStringLiteral("Pravel FW Loader"));
    QDir().mkpath(dir.filePath("firmware"));
    testsupport::writeFile(dir.filePath("firmware/pravel.srec").toStdString(), testsupport::Bytes(100, 'S'));
    shell.loadFrom(dir.path());
    auto* window = qobject_cast<QQuickWindow*>(shell.engine().rootObjects().value(0));
    QVERIFY(window && QTest::qWaitForWindowExposed(window));
    const QRect screen = window->screen()->availableGeometry();
    QTRY_COMPARE(window->size(), WindowFit::fitted({800, 600}, screen, window->frameMargins()));
    if (screen.width() >= 800 && screen.height() >= 600)
        QCOMPARE(window->size(), QSize(800, 600));
    QCOMPARE(window->minimumSize(), window->maximumSize());
    QVERIFY(screen.contains(window->frameGeometry()));
    FwLoaderGui::FWUpdateProcessor& processor = shell.processor();
    processor.programAll();
    processor.waitForProgramming();
    QTRY_VERIFY(!window->property("busyProgramming").toBool());
    processor.chooseInstrument("FT7PRVL");
    QTRY_VERIFY(window->findChild<QQuickItem*>("outcomePanel")->isVisible());
    QTRY_VERIFY(window->findChild<QQuickItem*>("instrumentTable")->height() > 0); // laid out

    auto onScreen = [&](const char* name) {
        auto* item = window->findChild<QQuickItem*>(name);
        QVERIFY2(item && item->isVisible(), name);
        const QRectF scene = item->mapRectToScene(QRectF(0, 0, item->width(), item->height()));
        const QRect global(window->mapToGlobal(scene.topLeft().toPoint()), scene.size().toSize());
        QVERIFY2(screen.contains(global) && QRectF(QPointF(), window->size()).contains(scene),
                 qPrintable(QString("%1 at %2,%3 %4x%5").arg(name).arg(global.x()).arg(global.y())
                                .arg(global.width()).arg(global.height())));
    };
    QObject* tabs = window->findChild<QObject*>("tabs");

    for (int tab : {0, 1}) {
        tabs->setProperty("currentIndex", tab);
        QTRY_VERIFY(window->findChild<QQuickItem*>(tab ? "advancedTab" : "basicTab")->isVisible());
        for (const char* name : {"instrumentPanel", "instrumentChoice", "basicTabButton", "advancedTabButton",
                                 "refreshDeviceButton", "loadFirmwareButton", "outcomePanel", "saveLogButton",
                                 "messagesListView"})
            onScreen(name);
        const std::vector<const char*> inTab = tab ? std::vector<const char*>{"bootloaderRadio", "applicationRadio",
                                                                             "selectFileButton", "fileLabel"}
                                                   : std::vector<const char*>{"basicInfoLabel", "loadAllButton",
                                                                              "instrumentTable"};
        for (const char* name : inTab)
            onScreen(name);
    }
    auto* log = window->findChild<QQuickItem*>("messagesListView");
    const double rows = log->height() / QFontMetricsF(window->property("logFont").value<QFont>()).height();
    QVERIFY2(rows >= 3, qPrintable(QString::number(rows)));

    QObject* question = window->findChild<QObject*>("riskDialog");
    question->setProperty("problems", QString("A long finding. ").repeated(80));
    QMetaObject::invokeMethod(question, "open");
    QTRY_VERIFY(question->property("opened").toBool());
    for (const char* name : {"riskCancelButton", "riskWriteButton"})
        onScreen(name);

    qInfo("scale %s: available %dx%d, window %dx%d, log %.1f rows", qgetenv("QT_SCALE_FACTOR").constData(),
          screen.width(), screen.height(), window->width(), window->height(), rows);
}

int main(int argc, char* argv[])
{
    // As the loader starts.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QApplication app(argc, argv);
    WindowFitTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "WindowFitTest.moc"
