// The real window document from the resources, over the emulated instrument:
// start-up, a Basic run clicked through, the Advanced tab with the file
// dialog, no device, closing during a run, and a second start of the built
// executable against this window.

#include "GatedDriver.h"

#include "app/LoaderShell.h"
#include "app/LocalInstanceGuard.h"
#include "emulator/DemoFirmware.h"
#include "emulator/EmulatedInstrument.h"
#include "emulator/FlashStorage.h"
#include "emulator/SpiFlash.h"
#include "emulator/VirtualClock.h"
#include "gui/FWUpdateProcessor.h"
#include "gui/NotificationPresenter.h"

#include <QFile>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QStringListModel>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

using namespace apptest;
using FwLoaderGui::FWUpdateProcessor;

namespace {

const QString title = QStringLiteral("Pravel FW Loader");

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// One loader as start-up builds it, on a temporary firmware directory with
// small images (the run stays fast) and the emulated MT25Q128.
struct LoaderRig
{
    QTemporaryDir dir;
    std::shared_ptr<d2xx::EmulatedDriver> emulated;
    std::shared_ptr<GatedDriver> driver;
    std::unique_ptr<LoaderShell> shell;
    QQuickWindow* window = nullptr;
    QString firmwareDir;

    explicit LoaderRig(bool plugged = true)
    {
        std::string error;
        emulated = d2xx::EmulatedDriver::create({}, error);
        driver = std::make_shared<GatedDriver>(emulated);
        driver->setPlugged(plugged);

        firmwareDir = dir.path() + QStringLiteral("/firmware");
        QDir().mkpath(firmwareDir);
        const std::vector<uint8_t> bit = emu::DemoFirmware::bitFile("rig", "7a35tcsg324", 3000);
        writeAll(firmwareDir + "/download.bit", QByteArray(reinterpret_cast<const char*>(bit.data()), int(bit.size())));
        writeAll(firmwareDir + "/pravel.srec", QByteArray::fromStdString(emu::DemoFirmware::srecFile(2048)));
        writeAll(firmwareDir + "/version.txt", "t-7.3\nsecond line\n");

        shell = std::make_unique<LoaderShell>(driver, emulated->clock(), title);
        shell->load(LoaderShell::firmwareDirUrl(dir.path()));
        if (!shell->engine().rootObjects().isEmpty())
            window = qobject_cast<QQuickWindow*>(shell->engine().rootObjects().first());
    }

    ~LoaderRig()
    {
        driver->release();
        shell.reset();
    }

    FWUpdateProcessor& processor() { return shell->processor(); }

    QObject* find(const char* name) const { return window->findChild<QObject*>(QString::fromLatin1(name)); }
    QQuickItem* item(const char* name) const { return qobject_cast<QQuickItem*>(find(name)); }
    bool enabled(const char* name) const { return find(name)->property("enabled").toBool(); }
    QString text(const char* name) const { return find(name)->property("text").toString(); }

    QStringList log() { return shell->presenter().messagesModel()->stringList(); }

    // A real mouse click in the middle of the control.
    void click(const char* name)
    {
        QQuickItem* control = item(name);
        QVERIFY2(control, name);
        QVERIFY2(control->isVisible() && control->isEnabled(), name);
        const QPointF centre = control->mapToScene(QPointF(control->width() / 2, control->height() / 2));
        QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    }

    QByteArray flash(uint32_t address, int length)
    {
        const emu::FlashStorage& storage = emulated->instrument()->flash().storage();
        QByteArray bytes;
        for (int i = 0; i < length; ++i)
            bytes.append(char(storage.at(address + uint32_t(i))));
        return bytes;
    }
};

const char* const lockedControls[] = {"tabs", "bootloaderRadio", "applicationRadio", "selectFileButton",
                                      "refreshDeviceButton", "loadFirmwareButton"};

} // namespace

class WindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<QProcess::ExitStatus>("QProcess::ExitStatus"); }
    void firmwareDirectoryBesideTheExecutable();
    void startUpShowsTheDeviceAndTheDefaultFirmware();
    void basicRunLocksTheWindowRefusesToCloseAndProgramsBothImages();
    void advancedTabPicksAFileThroughTheDialogAndProgramsItAtZero();
    void noDeviceUntilTheBridgeComesBack();
    void secondStartRaisesThisWindowAndLeavesTheLogAlone();
};

void WindowTest::firmwareDirectoryBesideTheExecutable()
{
    QTemporaryDir dir;
    QCOMPARE(LoaderShell::firmwareDirUrl(dir.path()), QUrl());
    // Only the entry's existence counts: a file of that name is taken too.
    writeAll(dir.path() + "/firmware", "not a directory");
    QCOMPARE(LoaderShell::firmwareDirUrl(dir.path()), QUrl::fromLocalFile(dir.path() + "/firmware"));
    QFile::remove(dir.path() + "/firmware");
    QDir(dir.path()).mkdir("firmware");
    QCOMPARE(LoaderShell::firmwareDirUrl(dir.path()).toLocalFile(), dir.path() + "/firmware");
}

void WindowTest::startUpShowsTheDeviceAndTheDefaultFirmware()
{
    LoaderRig rig;
    QVERIFY(rig.window);
    QVERIFY(QTest::qWaitForWindowExposed(rig.window));
    QCOMPARE(rig.window->title(), title);
    QCOMPARE(rig.window->minimumSize(), QSize(800, 600));
    QCOMPARE(rig.window->maximumSize(), QSize(800, 600));

    const QStringList log = rig.log();
    QVERIFY(log.size() >= 4);
    QCOMPARE(log.first(), QStringLiteral("Initializing loader..."));
    // Channel listing, then the open line, then the chip: in that order.
    auto rowWith = [&log](const char* text, int from) {
        for (int row = from; row < log.size(); ++row)
            if (log[row].contains(QLatin1String(text)))
                return row;
        return -1;
    };
    const int listing = rowWith("Serial Converter B", 1);
    const int opened = rowWith("open", listing + 1);
    const int chip = rowWith("MT25Q128", opened + 1);
    QVERIFY2(listing > 0 && opened > listing && chip > opened, qPrintable(log.join("|")));
    QVERIFY(!log.join("").contains("Device not found"));

    QVERIFY(rig.find("applicationRadio")->property("checked").toBool());
    QVERIFY(!rig.find("bootloaderRadio")->property("checked").toBool());
    QVERIFY(rig.item("basicTab")->isVisible());
    QVERIFY(!rig.item("advancedTab")->isVisible());
    QCOMPARE(rig.text("basicInfoLabel"), QStringLiteral("Ready to load version t-7.3."));
    QVERIFY(rig.enabled("loadFirmwareButton"));
    QCOMPARE(rig.processor().programmingMode(), FWUpdateProcessor::Full);
}

void WindowTest::basicRunLocksTheWindowRefusesToCloseAndProgramsBothImages()
{
    LoaderRig rig;
    QVERIFY(QTest::qWaitForWindowExposed(rig.window));
    const QByteArray srec = readAll(rig.firmwareDir + "/pravel.srec");
    const QByteArray bit = readAll(rig.firmwareDir + "/download.bit");

    rig.driver->holdNextWrite();
    rig.click("loadFirmwareButton");
    QTRY_VERIFY(rig.driver->isHeld());
    QTRY_VERIFY(rig.processor().isProgramming());

    for (const char* name : lockedControls)
        QTRY_VERIFY2(!rig.enabled(name), name);
    QCOMPARE(rig.text("basicInfoLabel"), QStringLiteral("Loading version t-7.3. Please wait for programming to complete."));
    QVERIFY(rig.log().contains("Starting loading of " + rig.firmwareDir + "/pravel.srec"));

    // Closing now would cut the flash write short.
    const int rows = rig.log().size();
    QVERIFY(!rig.window->close());
    QVERIFY(rig.window->isVisible());
    QTRY_COMPARE(rig.log().size(), rows + 1);
    QCOMPARE(rig.log().last(),
             QStringLiteral("Programming is in progress. The loader can be closed once it has finished."));

    rig.driver->release();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.processor().isProgramming(), 20000);
    for (const char* name : lockedControls)
        QTRY_VERIFY2(rig.enabled(name), name);
    QCOMPARE(rig.text("basicInfoLabel"), QStringLiteral("Ready to load version t-7.3."));
    QTRY_VERIFY(rig.log().join("").contains("Device programming is complete."));

    QCOMPARE(rig.flash(0x500000, srec.size()), srec);
    QCOMPARE(rig.flash(0, bit.size()), bit);

    // Idle again, the window closes as usual.
    QVERIFY(rig.window->close());
}

void WindowTest::advancedTabPicksAFileThroughTheDialogAndProgramsItAtZero()
{
    LoaderRig rig;
    QVERIFY(QTest::qWaitForWindowExposed(rig.window));

    rig.click("advancedTabButton");
    QTRY_VERIFY(rig.item("advancedTab")->isVisible());
    QCOMPARE(rig.processor().programmingMode(), FWUpdateProcessor::Single);
    QCOMPARE(rig.text("fileLabel"), QStringLiteral("No file selected."));
    QVERIFY(!rig.enabled("loadFirmwareButton"));

    rig.click("bootloaderRadio");
    QTRY_VERIFY(rig.find("bootloaderRadio")->property("checked").toBool());
    QCOMPARE(rig.processor().memOffset(), 0);

    // The dialog opens with the bitstream filter in the firmware directory.
    QObject* dialog = rig.find("fileDialog");
    QVERIFY(dialog);
    rig.click("selectFileButton");
    QTRY_VERIFY(dialog->property("visible").toBool());
    QCOMPARE(dialog->property("nameFilters").toStringList(), QStringList{"FPGA bitstream (*.bit)"});
    QCOMPARE(dialog->property("folder").toUrl(), QUrl::fromLocalFile(rig.firmwareDir));
    QMetaObject::invokeMethod(dialog, "reject");
    QTRY_VERIFY(!dialog->property("visible").toBool());

    // A path that a careless URL-to-path step would mangle.
    const QString folder = rig.dir.path() + QStringLiteral("/Bitströme #2 (Prüfung) 100%");
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/früh #1 ä.bit");
    const std::vector<uint8_t> bitBytes = emu::DemoFirmware::bitFile("chosen", "7a35tcsg324", 1500);
    const QByteArray bit(reinterpret_cast<const char*>(bitBytes.data()), int(bitBytes.size()));
    QVERIFY(writeAll(path, bit));

    dialog->setProperty("currentFile", QUrl::fromLocalFile(path));
    QMetaObject::invokeMethod(dialog, "accept");
    QTRY_COMPARE(rig.processor().firmwareFile(), path);
    QCOMPARE(rig.text("fileLabel"), path);
    QVERIFY(!rig.log().join("").contains("File does not exist"));
    QVERIFY(rig.enabled("loadFirmwareButton"));

    // Changing the firmware type forgets the file.
    rig.click("applicationRadio");
    QTRY_COMPARE(rig.text("fileLabel"), QStringLiteral("No file selected."));
    QCOMPARE(rig.processor().firmwareFile(), QString());
    QVERIFY(!rig.enabled("loadFirmwareButton"));
    QCOMPARE(rig.processor().memOffset(), 0x500000);

    rig.click("bootloaderRadio");
    dialog->setProperty("currentFile", QUrl::fromLocalFile(path));
    QMetaObject::invokeMethod(dialog, "accept");
    QTRY_COMPARE(rig.processor().firmwareFile(), path);

    rig.click("loadFirmwareButton");
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().join("").contains("Device programming is complete."), 20000);
    QTRY_VERIFY(!rig.processor().isProgramming());
    QCOMPARE(rig.flash(0, bit.size()), bit);
    // Only the chosen file: nothing at the application offset.
    QCOMPARE(rig.flash(0x500000, 16), QByteArray(16, char(0xFF)));
}

void WindowTest::noDeviceUntilTheBridgeComesBack()
{
    LoaderRig rig(false);
    QVERIFY(QTest::qWaitForWindowExposed(rig.window));
    QCOMPARE(rig.log().first(), QStringLiteral("Initializing loader..."));
    QVERIFY(rig.log().join("").contains("Device not found."));
    QCOMPARE(rig.text("basicInfoLabel"), QStringLiteral("Device not ready."));
    QVERIFY(!rig.enabled("loadFirmwareButton"));
    QVERIFY(rig.enabled("refreshDeviceButton"));

    rig.driver->setPlugged(true);
    rig.click("refreshDeviceButton");
    QTRY_VERIFY(rig.processor().deviceDetected());
    QVERIFY(rig.enabled("loadFirmwareButton"));
    QCOMPARE(rig.text("basicInfoLabel"), QStringLiteral("Ready to load version t-7.3."));
}

void WindowTest::secondStartRaisesThisWindowAndLeavesTheLogAlone()
{
    QTemporaryDir runtime;
    LocalInstanceGuard guard(QStringLiteral("PravelAppMutex"), title, runtime.path());
    QVERIFY(guard.acquire());

    LoaderRig rig;
    QVERIFY(QTest::qWaitForWindowExposed(rig.window));
    // Something else has the focus before the second start.
    QWindow other;
    other.setTitle("another window");
    other.show();
    other.requestActivate();
    QTRY_COMPARE(QGuiApplication::focusWindow(), &other);
    const QStringList logBefore = rig.log();

    QSignalSpy raised(&guard, &LocalInstanceGuard::raiseRequested);
    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    env.insert("PRAVEL_DEVICE", "emulated");
    second.setProcessEnvironment(env);
    QSignalSpy finished(&second, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    second.start(QStringLiteral(PRAVEL_LOADER_EXE), QStringList());
    QVERIFY(finished.wait(15000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QVERIFY(second.readAllStandardOutput().contains("its window was brought forward"));

    QCOMPARE(raised.size(), 1);
    QCOMPARE(raised.first().first().value<QWindow*>(), static_cast<QWindow*>(rig.window));
    QTRY_COMPARE(QGuiApplication::focusWindow(), static_cast<QWindow*>(rig.window));
    QCOMPARE(rig.log(), logBefore);
}

QTEST_MAIN(WindowTest)
#include "WindowTest.moc"
