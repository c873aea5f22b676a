#include "tests/support/Emulated.h"
#include "tests/support/GatedDriver.h"

#include "cli/CommandLine.h"
#include "cli/ConsoleReporter.h"
#include "cli/FlashTool.h"
#include "emulator/CallTrace.h"
#include "emulator/DemoFirmware.h"
#include "emulator/VirtualClock.h"
#include "gui/FWUpdateProcessor.h"
#include "gui/NotificationPresenter.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <sstream>

#include <sys/stat.h>

using FwLoaderGui::FWUpdateProcessor;

namespace {

const QString kNotFound = "Device not found. Please check USB cable connection and click 'Refresh Device'.\n";
const QString kComplete = "Device programming is complete. Device must be restarted for changes to take effect.\n";
const QString kCheck = "Please check power and USB connections and try again.\n";
const QString kLost = "The USB connection to the bridge was lost\n";
const uint32_t kApp = 0x500000;

QString starting(const QString& path) { return "Starting programming of " + path + "\n"; }
QString finished(const QString& path) { return "Finished programming of " + path + "\n"; }
QString failed(const QString& path) { return "Programming of " + path + " failed.\n"; }

QByteArray bytes(const testsupport::Bytes& data)
{
    return QByteArray(reinterpret_cast<const char*>(data.data()), int(data.size()));
}

// The presenter is made first and goes last, as in the application.
struct Rig
{
    // `timed`: the flash is busy for its datasheet times, not for a count of status reads.
    explicit Rig(const std::string& chip = "mt25q128", const std::string& faults = "", bool timed = false)
        : driver(testsupport::emulatedDriver(chip, faults, 2, timed)), gate(std::make_shared<testsupport::GatedDriver>(driver)),
          processor(std::make_unique<FWUpdateProcessor>(gate, driver->clock()))
    {
    }
    QStringList log() // once every report made so far has arrived
    {
        QCoreApplication::sendPostedEvents();
        return presenter.messagesModel()->stringList();
    }
    QByteArray flash(uint32_t address, int length) const
    {
        return bytes(testsupport::flashBytes(*driver, address, size_t(length)));
    }
    bool erased(uint32_t address, int length) const { return flash(address, length) == QByteArray(length, char(0xFF)); }
    size_t calls() const { return driver->trace().calls().size(); }
    size_t calls(const char* function) const { return driver->trace().calls(function).size(); }
    void runToEnd()
    {
        processor->program();
        processor->waitForProgramming();
        QCoreApplication::sendPostedEvents();
    }

    std::shared_ptr<d2xx::EmulatedDriver> driver;
    std::shared_ptr<testsupport::GatedDriver> gate;
    FwLoaderGui::NotificationPresenter presenter;
    std::unique_ptr<FWUpdateProcessor> processor;
};

QByteArray pattern(int size, int seed)
{
    return bytes(testsupport::pattern(size_t(size), unsigned(seed)));
}

QString writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return QDir::cleanPath(path);
}

// A firmware directory holding the images, and the processor pointed at it.
struct Firmware
{
    Firmware(Rig& rig, int appSize, bool withBitstream = true)
        : app(pattern(appSize, 5)), bit(pattern(1500, 9)), appPath(writeFile(dir.filePath("pravel.srec"), app)),
          bitPath(QDir::cleanPath(dir.filePath("download.bit")))
    {
        if (withBitstream)
            writeFile(bitPath, bit);
        writeFile(dir.filePath("version.txt"), "3.1\n");
        rig.processor->setFirmwareDir(QUrl::fromLocalFile(dir.path()));
    }
    QTemporaryDir dir;
    QByteArray app, bit;
    QString appPath, bitPath;
};

// Progress rows but the last of each run with their figures masked: those are
// the flash driver's arithmetic, which its own tests pin.
QStringList masked(QStringList log)
{
    for (QString& row : log)
        if (row.startsWith("\rProgress: ") && !row.endsWith('\n'))
            row = "\rProgress: n%";
    return log;
}

// Every row of `rows` appears in `log`, in that order.
bool inOrder(const QStringList& log, const QStringList& rows)
{
    int at = 0;
    for (const QString& row : rows)
        if ((at = log.indexOf(row, at)) < 0)
            return qWarning("missing or out of order: %s", qPrintable(row)), false;
    return true;
}

} // namespace

class FWUpdateProcessorTest : public QObject
{
    Q_OBJECT

private slots:
    // What the window binds to before any device: the offset.
    void offsetReportsEachChangeOnce()
    {
        Rig rig;
        FWUpdateProcessor& p = *rig.processor;
        QSignalSpy offsetChanged(&p, &FWUpdateProcessor::memOffsetChanged);
        QCOMPARE(p.memOffset(), -1);
        for (int offset : {0, 0, -1, 0x500000})
            p.setMemOffset(offset);
        QCOMPARE(rig.log(), (QStringList{"Offset: 0\n", "Offset: 0xffffffff\n", "Offset: 0x500000\n"}));
        QCOMPARE(offsetChanged.count(), 3);
    }

    // The firmware directory's version and images.
    void firmwareDirectoryChoosesVersionAndImages()
    {
        QTemporaryDir dir, other;
        const QString srec = writeFile(dir.filePath("pravel.srec"), pattern(100, 1));
        const QString bit = writeFile(dir.filePath("download.bit"), pattern(100, 2));
        Rig rig;
        FWUpdateProcessor& p = *rig.processor;
        QSignalSpy dirChanged(&p, &FWUpdateProcessor::firmwareDirChanged),
            versionChanged(&p, &FWUpdateProcessor::firmwareVersionChanged), fileChanged(&p, &FWUpdateProcessor::firmwareFileChanged);

        p.setFirmwareDir(QUrl()); // no firmware directory: the initial value
        QCOMPARE(p.firmwareVersion(), QString());
        QCOMPARE(dirChanged.count() + versionChanged.count(), 0);

        // No version file: "Unknown", and no selection until Single and back.
        p.setFirmwareDir(QUrl::fromLocalFile(dir.path()));
        QCOMPARE(p.firmwareVersion(), QString("Unknown"));
        p.setProgrammingMode(FWUpdateProcessor::Single);
        QCOMPARE(fileChanged.count(), 0);
        p.setProgrammingMode(FWUpdateProcessor::Full);
        QCOMPARE(p.firmwareFile(), srec);
        // What the window checks before a run: the run's own images, in its order.
        QCOMPARE(p.runImages(), (QVariantList{QVariantMap{{"path", srec}, {"offset", 0x500000}, {"kind", "application"}},
                                              QVariantMap{{"path", bit}, {"offset", 0}, {"kind", "bitstream"}}}));

        // An empty first line: "Unknown", yet the file opened, so images are chosen.
        writeFile(other.filePath("version.txt"), "\r\n2.0\r\n");
        const QString otherSrec = writeFile(other.filePath("pravel.srec"), pattern(10, 3));
        p.setFirmwareDir(QUrl::fromLocalFile(other.path()));
        QCOMPARE(p.firmwareVersion(), QString("Unknown"));
        QCOMPARE(p.firmwareFile(), otherSrec);
        writeFile(other.filePath("version.txt"), "1.4.2\r\nnotes\r\n");
        p.setFirmwareDir(QUrl::fromLocalFile(dir.path()));
        p.setFirmwareDir(QUrl::fromLocalFile(other.path()));
        QCOMPARE(p.firmwareVersion(), QString("1.4.2"));
        QCOMPARE(dirChanged.count(), 4);
        QCOMPARE(versionChanged.count(), 4); // also when the text stays the same
        QCOMPARE(rig.log().size(), 0);
    }

    // A firmware directory put in place after start is found by Refresh
    // Device; the panel names what is there, or where it was looked for.
    void refreshLooksAgainForTheFirmwareDirectory()
    {
        QTemporaryDir app;
        const QString home = app.filePath("firmware");
        Rig rig;
        FWUpdateProcessor& p = *rig.processor;
        p.setFirmwareHome(home);
        p.refreshDevices();
        QCOMPARE(p.firmwareDirMissing(), QDir::toNativeSeparators(home));
        QCOMPARE(p.firmwareFiles(), QStringList());
        QVERIFY(QDir().mkpath(home));
        writeFile(home + "/version.txt", "2.5\n");
        const QString srec = writeFile(home + "/pravel.srec", pattern(10, 1));
        p.refreshDevices();
        QCOMPARE(p.firmwareDirMissing(), QString());
        QCOMPARE(p.firmwareVersion(), QString("2.5"));
        QCOMPARE(p.firmwareFile(), srec);
        QCOMPARE(p.firmwareFiles(), QStringList{"pravel.srec"});
        writeFile(home + "/download.bit", pattern(10, 2));
        writeFile(home + "/version.txt", "2.6\n");
        p.refreshDevices();
        QCOMPARE(p.firmwareVersion(), QString("2.6"));
        QCOMPARE(p.firmwareFiles(), (QStringList{"pravel.srec", "download.bit"}));
        QCOMPARE(p.runImages().size(), 2);
        QCOMPARE(p.logHeader().mid(1), (QStringList{"Bridge serial: FT7PRVLB", "Flash: MT25Q128, 16 MiB",
                                                    "Firmware version: 2.6"}));
    }

    // A file that is missing, or one the flash driver refuses, clears the choice.
    void openFileKeepsOnlyAFileTheFlashDriverTook()
    {
        QTemporaryDir dir;
        Rig rig;
        FWUpdateProcessor& p = *rig.processor;
        QSignalSpy fileChanged(&p, &FWUpdateProcessor::firmwareFileChanged);
        const QString good = writeFile(dir.filePath(QString::fromUtf8("pr\xC3\xBC" "f.srec")), pattern(300, 4));
        const QString missing = dir.filePath(QString::fromUtf8("fehlt-\xC3\xA9.srec"));
        const QString folder = dir.filePath("folder.bit");
        QVERIFY(QDir().mkdir(folder));
        p.openFile(good);
        QCOMPARE(p.firmwareFile(), good);
        {
            // As under a Windows code page: the log still shows the name as it is.
            QTextCodec* locale = QTextCodec::codecForLocale();
            auto restore = qScopeGuard([locale] { QTextCodec::setCodecForLocale(locale); });
            QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
            p.openFile(missing);
        }
        QCOMPARE(p.firmwareFile(), QString());
        QCOMPARE(rig.log().last(), "File does not exist: " + missing + "\n");
        p.openFile(good);
        p.openFile(folder); // exists, but the flash driver takes no directory
        QCOMPARE(p.firmwareFile(), QString());
        QCOMPARE(rig.log().last(), "File does not exist: " + folder + "\n");
        QCOMPARE(fileChanged.count(), 4);
    }

    // What each instrument shows: the log rows, the instrument panel and,
    // when nothing usable is found, the outcome panel's kind.
    void discoveryReportsEachInstrument_data()
    {
        QTest::addColumn<QString>("chip");
        QTest::addColumn<QStringList>("rows"); // ends with the verdict line when nothing is found
        QTest::addColumn<QString>("part");     // ...or the outcome's kind then
        const QString open = "Port(USB <-> Serial Converter B) open\n";
        QTest::newRow("mt25q128") << QString("mt25q128") << QStringList{open, "Config ROM ID: 0x18\n", "MT25Q128 is detected\n"} << "MT25Q128";
        QTest::newRow("s25fl256") << QString("s25fl256") << QStringList{open, "Config ROM ID: 0x19\n", "S25FL256 is detected\n"} << "S25FL256";
        QTest::newRow("arty") << QString("arty") << QStringList{open, "Config ROM ID: 0xc\n", "Arty detected\n"} << "MT25Q128";
        QTest::newRow("unknown") << QString("unknown") << QStringList{open, "Unknown memory is detected\n", kNotFound} << "flashNotIdentified";
        QTest::newRow("corrupted") << QString("corrupted") << QStringList{open, "Config ROM ID: 0xff\n", kNotFound} << "flashNotIdentified";
        QTest::newRow("unplugged") << QString("unplugged") << QStringList{"Number of detected channels: 0\n", "Port Open Error\n", kNotFound} << "noBridge";
    }

    void discoveryReportsEachInstrument()
    {
        QFETCH(QString, chip);
        QFETCH(QStringList, rows);
        QFETCH(QString, part);
        const bool detected = rows.last() != kNotFound;
        Rig rig(chip.toStdString());
        FWUpdateProcessor& p = *rig.processor;
        QSignalSpy changed(&p, &FWUpdateProcessor::deviceDetectedChanged);
        for (int refresh = 1; refresh <= 2; ++refresh) {
            p.refreshDevices();
            QCOMPARE(p.deviceDetected(), detected);
            QCOMPARE(changed.count(), refresh);
            QVERIFY(inOrder(rig.log(), rows));
            QCOMPARE(rig.log().count(kNotFound), detected ? 0 : refresh);
        }
        // The second refresh closed the open port first; no port, no identification.
        QCOMPARE(rig.calls("FT_Close"), size_t(chip == "unplugged" ? 0 : 1));
        QCOMPARE(rig.calls("FT_Write") == 0, chip == "unplugged");
        // The unchanged bus is listed once; the panels say what was found.
        QCOMPARE(rig.log().filter("Number of detected channels").size(), 1);
        QCOMPARE(p.bridgeSerial(), QString(chip == "unplugged" ? "" : "FT7PRVLB"));
        QCOMPARE(detected ? p.flashPart() : p.outcomeKind(), part);
        QCOMPARE(p.flashSize(), detected ? 1 << (part == "S25FL256" ? 25 : 24) : 0);
        QCOMPARE(p.instrumentState() == "Ready", detected);
        QCOMPARE(p.outcomeSteps().filter("Click Refresh Device.").size(), detected ? 0 : 1);
    }

    // A failed set-up leaves no device: a run is refused untouched, and the
    // next refresh opens the port again.
    void failedSetupRefusesTheRunUntilARefreshOpensAgain()
    {
        Rig rig("mt25q128", "FT_ResetDevice@1");
        Firmware fw(rig, 100);
        rig.processor->refreshDevices();
        QVERIFY(!rig.processor->deviceDetected());
        QCOMPARE(rig.log().last(), kNotFound);
        const int rows = rig.log().size();
        const size_t calls = rig.calls();
        QSignalSpy running(rig.processor.get(), &FWUpdateProcessor::isProgrammingChanged);
        rig.runToEnd();
        QCOMPARE(rig.log().mid(rows), QStringList{"Aborting programming. Device not ready or file not found.\n"});
        QCOMPARE(running.count(), 1);
        QCOMPARE(running.at(0).at(0).toBool(), false);
        QCOMPARE(rig.calls(), calls);

        rig.processor->refreshDevices();
        QVERIFY(rig.processor->deviceDetected());
        QCOMPARE(rig.calls("FT_OpenEx"), size_t(2));
    }

    // A diagnosis on the worker thread, each step shown as it ends; then the
    // device is found again and the next run writes the flash.
    void aDiagnosisLeavesTheDeviceReadyForTheNextRun()
    {
        Rig rig;
        Firmware fw(rig, 3000);
        rig.processor->refreshDevices();
        QSignalSpy shown(rig.processor.get(), &FWUpdateProcessor::diagnosisStepsChanged);
        rig.processor->diagnose();
        rig.processor->waitForProgramming();
        QCoreApplication::sendPostedEvents();
        QStringList verdicts;
        for (const QVariant& step : rig.processor->diagnosisSteps())
            verdicts << step.toMap().value("verdict").toString();
        // The flash is erased: nothing to start the FPGA from.
        QCOMPARE(verdicts, QStringList({"ok", "ok", "ok", "ok", "ok", "ok", "finding"}));
        QCOMPARE(shown.count(), 9); // pending, each step, the end
        QVERIFY(!rig.processor->isDiagnosing() && rig.processor->deviceDetected());
        rig.runToEnd();
        QVERIFY(rig.log().contains(kComplete));
        QCOMPARE(rig.flash(kApp, fw.app.size()), fw.app);
    }

    void fullRunWritesBothImagesOnce()
    {
        Rig rig;
        Firmware fw(rig, 70000);
        rig.processor->refreshDevices();
        const int before = rig.log().size();
        QSignalSpy deviceChanged(rig.processor.get(), &FWUpdateProcessor::deviceDetectedChanged);
        QList<bool> delivered; // as a window binding sees it: queued, on the GUI thread
        QString outcomeAtEnd, kindAtEnd; // ...which finds the run's outcome and progress final when it ends
        double progressAtEnd = 0;
        QObject window;
        connect(rig.processor.get(), &FWUpdateProcessor::isProgrammingChanged, &window, [&](bool on) {
            QCOMPARE(QThread::currentThread(), window.thread());
            delivered << on;
            if (!on)
                outcomeAtEnd = rig.processor->lastOutcome(), progressAtEnd = rig.processor->runProgress(),
                kindAtEnd = rig.processor->outcomeKind();
        });

        rig.gate->holdNextWrite();
        auto release = qScopeGuard([&] { rig.gate->release(); }); // a failed check must not leave the run held
        rig.processor->program();
        rig.processor->program(); // pending: refused before the run's thread even runs
        rig.gate->waitUntilHeld();
        QCOMPARE(rig.processor->isProgramming(), 1);
        rig.processor->program(); // mid-run, nothing else may reach the device
        rig.processor->refreshDevices();
        rig.processor->openFile(fw.bitPath);
        rig.processor->setMemOffset(0x10000);
        QCOMPARE(rig.processor->memOffset(), int(kApp));
        rig.gate->release();
        rig.processor->waitForProgramming();
        const QStringList log = rig.log().mid(before);

        QVERIFY(rig.flash(kApp, fw.app.size()) == fw.app);
        QVERIFY(rig.flash(0, fw.bit.size()) == fw.bit);
        QVERIFY(inOrder(log, {"Offset: 0x500000\n", starting(fw.appPath), finished(fw.appPath), "Offset: 0\n",
                              starting(fw.bitPath), finished(fw.bitPath), "\n", kComplete}));
        QCOMPARE(log.last(), kComplete);
        QCOMPARE(log.count("Programming is already in progress.\n"), 5);
        QCOMPARE(log.filter("Starting programming of ").size(), 2);
        QCOMPARE(delivered, (QList<bool>{true, false}));
        QCOMPARE(outcomeAtEnd, QString("complete"));
        QCOMPARE(kindAtEnd, QString("success"));
        QVERIFY(rig.processor->outcomeText().startsWith("Version 3.1 was written"));
        QVERIFY(rig.processor->outcomeSteps().first().startsWith("Power-cycle the instrument"));
        QCOMPARE(progressAtEnd, 1.0);
        QCOMPARE(deviceChanged.count(), 0);
        QCOMPARE(rig.processor->firmwareFile(), fw.appPath);
        QCOMPARE(rig.processor->memOffset(), 0);
    }

    // The log of a fault-free Basic run, row for row, after discovery.
    void fullRunLogIsExactlyTheKnownOne()
    {
        Rig rig;
        Firmware fw(rig, 70000);
        rig.processor->refreshDevices();
        const int before = rig.log().size();
        rig.runToEnd();
        const QStringList expected = {
            "Offset: 0x500000\n", "File read successfully. Size: 70000 bytes\n", starting(fw.appPath),
            "Erase Sector address 0x500000 to 0x51116f\n", "Erasing...\n", "\rProgress: n%", "\rProgress: n%",
            "\rProgress: 100.0%\n", "Erase...OK\n", "Programming...\n", "\rProgress: n%", "\rProgress: n%",
            "\rProgress: 100.0%\n", "Program...OK\n", "Read size = 0x11170\n", "progress = 1remain = 4464\n",
            "progress = 2remain = 0\n", "Read...OK\n", "Verify...OK: " + fw.appPath + " matches the flash at 0x500000\n",
            finished(fw.appPath), "Offset: 0\n", "File read successfully. Size: 1500 bytes\n", starting(fw.bitPath),
            "Erase Sector address 0 to 0x5db\n", "Erasing...\n", "\rProgress: n%", "\rProgress: 100.0%\n",
            "Erase...OK\n", "Programming...\n", "\rProgress: 100.0%\n", "Program...OK\n", "Read size = 0x5dc\n",
            "progress = 1remain = 0\n", "Read...OK\n", "Verify...OK: " + fw.bitPath + " matches the flash at 0\n",
            finished(fw.bitPath), "\n", kComplete};
        QCOMPARE(masked(rig.log().mid(before)), expected);
    }

    // The window's run and pravel-flash's write --verify of the Basic set
    // leave the same flash, byte for byte; the window's read-back costs no
    // more emulated time than the tool's.
    void theToolWritesTheSameFlashAsTheWindow()
    {
        Rig rig("mt25q128", "", true);
        QTemporaryDir dir;
        std::string error;
        QVERIFY(emu::DemoFirmware::writeDirectory(dir.path().toStdString(), "1", error));
        rig.processor->setFirmwareDir(QUrl::fromLocalFile(dir.path()));
        rig.processor->refreshDevices();
        const uint64_t start = rig.driver->clock().nowNanoseconds();
        rig.runToEnd();
        const double window = double(rig.driver->clock().nowNanoseconds() - start) / 1e9;
        QCOMPARE(rig.log().last(), kComplete);

        const auto other = testsupport::emulatedDriver("mt25q128", "", 2, true);
        Invocation invocation;
        QVERIFY(CommandLine::parse({"write", "--verify", "--firmware-dir", dir.path().toStdString()}, invocation, error));
        std::ostringstream out, err;
        int status = -1;
        {
            ConsoleReporter reporter(out, err, false, true);
            reporter.install();
            std::atomic<bool> stop{false};
            FlashTool tool(invocation, reporter, stop);
            tool.useDriver(DriverSelection::emulated(other));
            status = tool.run();
        }
        const double tool = double(other->clock().nowNanoseconds()) / 1e9;
        QCOMPARE(status, int(FlashTool::Success));
        QVERIFY(rig.flash(0, 0x1000000) == bytes(testsupport::flashBytes(*other, 0, 0x1000000)));
        qInfo("Basic set with read-back, typical timing: the window's run %.3f s, pravel-flash write --verify %.3f s",
              window, tool);
        QVERIFY(window <= 1.05 * tool);
    }

    // The processor is destroyed while the run goes: it must wait for it.
    void singleModeWritesTheChosenFileAtTheOffsetAndOutlivesNothing()
    {
        Rig rig;
        Firmware fw(rig, 600);
        const QByteArray chosen = pattern(20000, 77);
        const QString chosenPath = writeFile(fw.dir.filePath("chosen.bit"), chosen);
        rig.processor->refreshDevices();
        rig.processor->setProgrammingMode(FWUpdateProcessor::Single);
        rig.processor->openFile(chosenPath);
        rig.processor->setMemOffset(int(kApp));
        rig.processor->setMemOffset(0);
        rig.processor->program();
        rig.processor.reset();
        QVERIFY(rig.flash(0, chosen.size()) == chosen);
        QVERIFY(rig.erased(kApp, 0x10000));
        QCOMPARE(rig.log().filter("Starting programming of "), QStringList{starting(chosenPath)});
        QCOMPARE(rig.log().last(), kComplete);
    }

    // A bitstream never there: only the application is programmed.
    void aMissingBitstreamLeavesTheApplicationAlone()
    {
        Rig rig;
        Firmware fw(rig, 3000, false);
        rig.processor->refreshDevices();
        rig.runToEnd();
        QVERIFY(rig.flash(kApp, fw.app.size()) == fw.app);
        QVERIFY(rig.erased(0, 0x10000));
        const QStringList log = rig.log();
        QCOMPARE(log.filter("Starting programming of "), QStringList{starting(fw.appPath)});
        QCOMPARE(log.mid(log.size() - 2), (QStringList{"\n", kComplete}));
        QCOMPARE(rig.processor->memOffset(), int(kApp));
        QCOMPARE(rig.processor->lastOutcome(), QString("complete"));
    }

    // Every file is read before the first erase: a bitstream that vanished
    // after selection, one that cannot be read, or an empty one ends the run
    // with the flash exactly as it was.
    void aBadFileFailsTheRunBeforeTheFlashChanges_data()
    {
        QTest::addColumn<QString>("bitstream");
        QTest::addColumn<QString>("message"); // %1: the bitstream's path
        QTest::newRow("vanished") << "vanished" << "Error opening file for reading: %1\n";
        QTest::newRow("unreadable") << "unreadable" << "Error opening file for reading: %1\n";
        QTest::newRow("empty") << "empty" << "Error, %1 is empty: nothing to write\n";
    }

    void aBadFileFailsTheRunBeforeTheFlashChanges()
    {
        QFETCH(QString, bitstream);
        QFETCH(QString, message);
        Rig rig;
        Firmware fw(rig, 3000);
        rig.processor->refreshDevices();
        const QByteArray before = rig.flash(0, 0x600000);
        QFile::remove(fw.bitPath);
        if (bitstream == "unreadable") {
            // A FIFO opens for nobody, root included; mode 000 stops only others.
            QVERIFY(mkfifo(QFile::encodeName(fw.bitPath).constData(), 0600) == 0);
        } else if (bitstream == "empty") {
            writeFile(fw.bitPath, QByteArray());
        }
        const size_t writes = rig.calls("FT_Write");
        // The window asks the processor first: a file gone or unreadable ends it there.
        QCOMPARE(rig.processor->refuseUnreadableFiles(), bitstream != "empty");
        if (bitstream != "empty")
            QCOMPARE(rig.log().last(), "Not loaded: " + fw.bitPath +
                                           (bitstream == "vanished" ? " is no longer there." : " cannot be read.") +
                                           " Nothing was written.\n");
        rig.runToEnd();
        QVERIFY(rig.flash(0, 0x600000) == before);
        QCOMPARE(rig.calls("FT_Write"), writes);
        const QStringList log = rig.log();
        QCOMPARE(log.mid(log.size() - 3), (QStringList{message.arg(fw.bitPath), failed(fw.bitPath), kCheck}));
        QCOMPARE(log.filter("Starting programming of ").size(), 0);
        QCOMPARE(rig.processor->lastOutcome(), QString("failed"));
        QCOMPARE(rig.processor->outcomeKind(), QString("nothingChanged"));
        QVERIFY(rig.processor->outcomeText().endsWith("Nothing was changed: the instrument starts as before."));
        QVERIFY(!rig.processor->flashIncomplete());
    }

    // The progress bar's data: stage, shares done and outcome, as the GUI
    // thread sees them, never going back within a stage.
    void progressPropertiesFollowTheRun()
    {
        Rig rig;
        Firmware fw(rig, 70000);
        rig.processor->refreshDevices();
        QStringList stages;
        QList<double> runShares;
        FWUpdateProcessor* p = rig.processor.get();
        connect(p, &FWUpdateProcessor::stageTextChanged, p, [&] {
            if (!p->stageText().isEmpty())
                stages << p->stageText();
        });
        connect(p, &FWUpdateProcessor::runProgressChanged, p, [&] { runShares << p->runProgress(); });
        QList<double> left;
        connect(p, &FWUpdateProcessor::secondsLeftChanged, p, [&] { left << p->secondsLeft(); });
        QSignalSpy outcome(p, &FWUpdateProcessor::lastOutcomeChanged);
        rig.runToEnd();
        // Every window run reads each image back.
        QCOMPARE(stages, (QStringList{"Erasing pravel.srec", "Programming pravel.srec", "Verifying pravel.srec",
                                      "Erasing download.bit", "Programming download.bit", "Verifying download.bit"}));
        QVERIFY(left.size() > 2 && left.first() > 0);
        QCOMPARE(left.last(), 0.0);
        QVERIFY(std::is_sorted(runShares.begin(), runShares.end()));
        QCOMPARE(runShares.last(), 1.0);
        QVERIFY(runShares.size() > 4);
        QCOMPARE(p->lastOutcome(), QString("complete"));
        QCOMPARE(p->stageText(), QString());
        QCOMPARE(p->stageProgress(), 1.0);
        QCOMPARE(outcome.count(), 1);

        // The next run starts from nothing, and a failure says so.
        QFile::remove(fw.appPath);
        rig.runToEnd();
        QCOMPARE(p->lastOutcome(), QString("failed"));
        QCOMPARE(outcome.count(), 3);
    }

    // A stop asked for while a page program is held (what the flash then
    // holds is the firmware run's): the run ends failed without the
    // connection hint, and the next one goes through.
    void aStopRequestEndsTheRunBetweenTransactions()
    {
        Rig rig("mt25q128", "", true); // the page left behind finishes on its own
        Firmware fw(rig, 70000);
        rig.processor->refreshDevices();
        const uint32_t page = kApp + 0x100 * 62; // the last page of a pipelined batch
        rig.gate->holdNextWrite(testsupport::pageProgramAt(page));
        auto release = qScopeGuard([&] { rig.gate->release(); });
        rig.processor->program();
        rig.gate->waitUntilHeld();
        rig.processor->requestStop();
        rig.gate->release();
        rig.processor->waitForProgramming();
        QCoreApplication::sendPostedEvents();

        const QStringList log = rig.log();
        // The stop is seen in the wait for the held page.
        QCOMPARE(log.filter("Stopped on request").size(), 1);
        QVERIFY(log.contains("Stopped on request while the flash was busy; it finishes the command under way by itself\n"));
        QCOMPARE(log.last(), failed(fw.appPath));
        QCOMPARE(log.count(kCheck), 0);
        QCOMPARE(rig.processor->lastOutcome(), QString("failed"));

        // Stopped once, not for good: the next run goes through.
        rig.processor->refreshDevices();
        rig.runToEnd();
        QCOMPARE(rig.log().last(), kComplete);
        QVERIFY(rig.flash(0, fw.bit.size()) == fw.bit);
    }

    // A bitstream for another FPGA than the one the flash holds: the run asks
    // before its first erase and waits. "No" writes nothing, "yes" writes it,
    // and the processor going answers no.
    void aRiskyBitstreamWaitsForTheAnswer()
    {
        Rig rig;
        Firmware fw(rig, 5000);
        rig.processor->refreshDevices();
        const auto bitFile = [](const char* part) { return bytes(emu::DemoFirmware::bitFile("q", part, 3000)); };
        writeFile(fw.bitPath, bitFile("7a35tcsg324"));
        rig.runToEnd();
        const QByteArray app = pattern(5000, 6), other = bitFile("7a50tcsg324");
        writeFile(fw.appPath, app);
        writeFile(fw.bitPath, other);
        const QByteArray before = rig.flash(0, 0x10000) + rig.flash(kApp, 0x10000);
        for (const bool write : {false, true}) {
            rig.processor->program();
            QTRY_VERIFY(rig.processor->question().contains("This bitstream is for an XC7A50T"));
            QVERIFY(rig.flash(0, 0x10000) + rig.flash(kApp, 0x10000) == before);
            rig.processor->answerQuestion(write);
            rig.processor->waitForProgramming();
            QCoreApplication::sendPostedEvents();
            QVERIFY(rig.processor->question().isEmpty());
            QCOMPARE(rig.processor->lastOutcome(), write ? QString("complete") : QString("failed"));
            QCOMPARE(rig.log().count("Nothing was written: " + fw.bitPath + " was not confirmed\n"), 1);
        }
        QVERIFY(rig.flash(0, other.size()) == other && rig.flash(kApp, app.size()) == app);

        writeFile(fw.bitPath, bitFile("7a35tcsg324"));
        rig.processor->program();
        QTRY_VERIFY(!rig.processor->question().isEmpty());
        rig.processor.reset();
        QVERIFY(rig.flash(0, other.size()) == other);
    }

    void aDeviceFaultEndsTheRunBeforeTheBitstream()
    {
        size_t calls, writes;
        {
            Rig probe; // what discovery costs, so the faults land in the first image
            probe.processor->refreshDevices();
            calls = probe.calls();
            writes = probe.calls("FT_Write");
        }
        for (const QString& fault : {QString("FT_Write@%1").arg(writes + 6), QString("unplug@%1").arg(calls + 12)}) {
            Rig rig("mt25q128", fault.toStdString());
            Firmware fw(rig, 5000);
            rig.processor->refreshDevices();
            QVERIFY(rig.processor->deviceDetected());
            QSignalSpy running(rig.processor.get(), &FWUpdateProcessor::isProgrammingChanged);
            rig.runToEnd();

            QVERIFY2(rig.erased(0, 0x10000), qPrintable(fault));
            const QStringList log = rig.log();
            // A bridge that went away is the last word.
            const QStringList ending = fault.startsWith("unplug") ? QStringList{failed(fw.appPath), kCheck, kLost}
                                                                   : QStringList{failed(fw.appPath), kCheck};
            QCOMPARE(log.mid(log.size() - ending.size()), ending);
            QCOMPARE(running.count(), 2);
            QCOMPARE(rig.processor->memOffset(), int(kApp));
            // A failure in the erase: incomplete when the run says it erased.
            const bool lost = fault.startsWith("unplug");
            QCOMPARE(rig.processor->outcomeKind(), lost ? QString("bridgeLost")
                                                        : rig.processor->flashIncomplete() ? QString("incomplete")
                                                                                            : QString("nothingChanged"));
            rig.processor->refreshDevices();
            QCOMPARE(rig.processor->deviceDetected(), !lost);
            if (lost)
                QCOMPARE(rig.processor->outcomeKind(), QString("noBridge"));
        }
    }

    // The advice for what the fault sweep cannot easily stage: a lost bridge
    // after the erase, a read-back that differs, a run stopped on request, a
    // flash still busy from an interrupted run.
    void adviceNamesStateAndCause()
    {
        using FwLoaderGui::OutcomeAdvice;
        OutcomeAdvice::Run lost;
        lost.outcome.failedStage = FirmwareRun::Stage::Program;
        lost.linkLost = lost.incomplete = true;
        lost.failedFile = "download.bit";
        OutcomeAdvice advice = OutcomeAdvice::forRun(lost);
        QCOMPARE(OutcomeAdvice::kindName(advice.kind), QString("bridgeLost"));
        QCOMPARE(advice.text, "The bridge stopped answering while programming download.bit. " + OutcomeAdvice::willNotStart);
        QCOMPARE(advice.steps.mid(1), (QStringList{"Click Refresh Device.", "Click Load Firmware to run again."}));

        OutcomeAdvice::Run differs;
        differs.outcome.failedStage = FirmwareRun::Stage::Verify;
        differs.outcome.verify.readOk = true;
        differs.outcome.verify.firstMismatches = {0x10};
        differs.failedFile = "pravel.srec";
        differs.failedOffset = kApp;
        differs.incomplete = true;
        advice = OutcomeAdvice::forRun(differs);
        QCOMPARE(OutcomeAdvice::kindName(advice.kind), QString("incomplete"));
        QVERIFY(advice.text.contains("first at flash address 0x500010."));

        OutcomeAdvice::Run stopped;
        stopped.outcome.stopped = true;
        stopped.outcome.failedStage = FirmwareRun::Stage::Erase;
        QCOMPARE(OutcomeAdvice::forRun(stopped).text,
                 QString("The run was stopped on request. Nothing was changed: the instrument starts as before."));

        OutcomeAdvice::Detection busy;
        busy.listed = busy.opened = busy.flashBusy = true;
        QCOMPARE(OutcomeAdvice::kindName(OutcomeAdvice::forDetection(busy).kind), QString("flashBusy"));
    }

    // A run that fails after its erase leaves an instrument that will not
    // start: the panels say so through a refresh, until a run completes.
    void aFailureAfterTheEraseStaysUntilARunCompletes()
    {
        size_t pageWrite;
        {
            Rig probe;
            Firmware fw(probe, 5000);
            probe.processor->refreshDevices();
            probe.gate->holdNextWrite(testsupport::pageProgramAt(kApp));
            probe.processor->program();
            probe.gate->waitUntilHeld();
            pageWrite = probe.calls("FT_Write") + 1;
            probe.gate->release();
            probe.processor->waitForProgramming();
        }
        Rig rig("mt25q128", "FT_Write@" + std::to_string(pageWrite));
        Firmware fw(rig, 5000);
        FWUpdateProcessor& p = *rig.processor;
        p.refreshDevices();
        rig.runToEnd();
        QVERIFY(p.flashIncomplete());
        QCOMPARE(p.outcomeKind(), QString("incomplete"));
        QCOMPARE(p.outcomeText(), "Programming pravel.srec failed. The instrument will not start until a run completes.");
        p.refreshDevices();
        QCOMPARE(p.outcomeKind(), QString("incomplete"));
        QCOMPARE(p.instrumentState(), QString("Will not start until a run completes"));
        rig.runToEnd();
        QVERIFY(!p.flashIncomplete());
        QCOMPARE(p.outcomeKind(), QString("success"));
        QCOMPARE(p.instrumentState(), QString("Ready"));
    }
};

QTEST_GUILESS_MAIN(FWUpdateProcessorTest)
#include "FWUpdateProcessorTest.moc"
