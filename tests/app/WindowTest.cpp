// The real window document from the resources, over the emulated instrument,
// and a second start of the built executable against this window.

#include "tests/support/Emulated.h"
#include "tests/support/GatedDriver.h"

#include "app/LoaderShell.h"
#include "app/LocalInstanceGuard.h"
#include "emulator/CallTrace.h"
#include "emulator/DemoFirmware.h"
#include "emulator/EmulatedInstrument.h"
#include "emulator/FlashStorage.h"
#include "emulator/SpiFlash.h"
#include "emulator/VirtualClock.h"
#include "gui/FWUpdateProcessor.h"
#include "gui/NotificationPresenter.h"
#include "base/ProgressReporter.h"

#include <QAccessible>
#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QWheelEvent>
#include <QLineEdit>
#include <QProcess>
#include <QQmlComponent>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using FwLoaderGui::FWUpdateProcessor;

namespace {

const QString title = QStringLiteral("Pravel FW Loader");
const QString ready = QStringLiteral("Ready to load version t-7.3.");

QByteArray bytes(const std::vector<uint8_t>& data) { return QByteArray(reinterpret_cast<const char*>(data.data()), int(data.size())); }

bool writeAll(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// One loader as start-up builds it, on small images (the run stays fast) and
// the emulated MT25Q128 (or a bench of `instruments`, each on its own clock).
struct LoaderRig
{
    QTemporaryDir dir;
    std::shared_ptr<d2xx::EmulatedDriver> emulated;
    std::shared_ptr<testsupport::GatedDriver> driver;
    std::unique_ptr<LoaderShell> shell;
    QQuickWindow* window = nullptr;
    QString firmwareDir = dir.path() + QStringLiteral("/firmware");
    QByteArray bit = bytes(emu::DemoFirmware::bitFile("rig", "7a35tcsg324", 3000));
    QByteArray srec = QByteArray::fromStdString(emu::DemoFirmware::srecFile(2048));

    explicit LoaderRig(bool plugged = true, const std::string& chip = "mt25q128", bool withFirmware = true,
                       const std::string& faults = "", const std::string& instruments = "")
    {
        emulated = instruments.empty() ? testsupport::emulatedDriver(chip, faults)
                                       : testsupport::emulatedBench(instruments, faults);
        driver = std::make_shared<testsupport::GatedDriver>(emulated);
        driver->setPlugged(plugged);
        if (withFirmware) {
            QDir().mkpath(firmwareDir);
            writeAll(firmwareDir + "/download.bit", bit);
            writeAll(firmwareDir + "/pravel.srec", srec);
            writeAll(firmwareDir + "/version.txt", "t-7.3\nsecond line\n");
        }

        FwLoaderGui::InstrumentAccess access;
        access.clockFor = [this](const std::string& serial) -> Clock& { return testsupport::clockOf(*emulated, serial); };
        shell = std::make_unique<LoaderShell>(driver, emulated->clock(), title, access);
        shell->loadFrom(dir.path());
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
    QObject* fileDialog() const { return find("fileDialog"); }
    QQuickItem* item(const char* name) const { return qobject_cast<QQuickItem*>(find(name)); }
    bool enabled(const char* name) const { return find(name)->property("enabled").toBool(); }
    bool checked(const char* name) const { return find(name)->property("checked").toBool(); }
    QString text(const char* name) const { return find(name)->property("text").toString(); }
    QStringList log() { return shell->presenter().messagesModel()->stringList(); }
    bool logHas(const QString& text) { return log().join("").contains(text); }

    // A real mouse click in the middle of the control.
    void click(const char* name)
    {
        QQuickItem* control = item(name);
        QVERIFY2(control && control->isVisible() && control->isEnabled(), name);
        QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier,
                          control->mapToScene(QPointF(control->width() / 2, control->height() / 2)).toPoint());
    }

    // The visible items of that name, made by a repeater or not.
    QList<QQuickItem*> visible(const QString& name, QQuickItem* under = nullptr) const
    {
        QList<QQuickItem*> found;
        for (QQuickItem* child : (under ? under : window->contentItem())->childItems()) {
            if (!child->isVisible())
                continue;
            if (child->objectName() == name)
                found << child;
            found += visible(name, child);
        }
        return found;
    }

    // The log view's row items (only those the view has made).
    QList<QQuickItem*> rows() const
    {
        QList<QQuickItem*> found;
        auto* content = item("messagesListView")->property("contentItem").value<QQuickItem*>();
        for (QQuickItem* row : content->childItems())
            if (row->objectName() == QLatin1String("logRow") && row->isVisible())
                found.append(row);
        return found;
    }
    QQuickItem* row(const QString& startsWith) const
    {
        for (QQuickItem* row : rows())
            if (row->property("text").toString().startsWith(startsWith))
                return row;
        return nullptr;
    }

    QByteArray flash(uint32_t address, int length)
    {
        QByteArray out;
        for (int i = 0; i < length; ++i)
            out.append(char(emulated->instrument()->flash().storage().at(address + uint32_t(i))));
        return out;
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
    void startUpThenABasicRunThatLocksTheWindow();
    void advancedTabThroughTheRealDialog();
    void noDeviceUntilTheBridgeComesBack();
    void missingFirmwareDirectoryIsNamed();
    void logRowsAsTheyReadAndFollowTheNewest();
    void savedLogHoldsEveryRow();
    void diagnoseLocksTheWindowAndShowsTheChecklist();
    void quitDuringARunFinishesTheRunFirst();
    void aVanishedFileIsNamedBeforeAnyQuestion();
    void keyboardAlone();
    void accessibleNamesAndRoles();
    void severalInstrumentsChosenByKeyboard();
    void secondStartRaisesThisWindowOnceItExists();
};

void WindowTest::startUpThenABasicRunThatLocksTheWindow()
{
    LoaderRig rig;
    QVERIFY(rig.window && QTest::qWaitForWindowExposed(rig.window));
    QCOMPARE(rig.window->title(), title);
    // Fixed; 800 x 600 where the screen has room (the fit test sizes screens).
    QCOMPARE(rig.window->minimumSize(), rig.window->size());
    QCOMPARE(rig.window->maximumSize(), rig.window->size());
    QCOMPARE(LoaderShell::firmwareDirUrl(rig.firmwareDir), QUrl()); // no "firmware" there

    // "Initializing loader...", then the channel listing, the open line, the chip, in that order.
    const QStringList log = rig.log();
    QCOMPARE(log.value(0), QStringLiteral("Initializing loader..."));
    int row = 0;
    for (const char* text : {"Serial Converter B", " open\n", "MT25Q128"}) {
        while (++row < log.size() && !log[row].contains(QLatin1String(text))) {
        }
        QVERIFY2(row < log.size(), qPrintable(text + (" | " + log.join("|"))));
    }
    QVERIFY(!rig.logHas("Device not found"));
    QCOMPARE(rig.text("bridgeValue") + " | " + rig.text("flashValue") + " | " + rig.text("firmwareValue") + " | " +
                 rig.text("stateValue"),
             QStringLiteral("serial number FT7PRVLB | MT25Q128, 16 MiB | version t-7.3 (pravel.srec, download.bit) | Ready"));

    QVERIFY(rig.checked("applicationRadio") && !rig.checked("bootloaderRadio"));
    QVERIFY(rig.item("basicTab")->isVisible() && !rig.item("advancedTab")->isVisible());
    QCOMPARE(rig.text("basicInfoLabel"), ready);
    QVERIFY(rig.enabled("loadFirmwareButton"));
    QCOMPARE(rig.processor().programmingMode(), FWUpdateProcessor::Full);

    // The document binds to what start-up made and can make neither itself;
    // the log's model is constant, so bindings on it raise no warnings.
    for (const char* type : {"NotificationPresenter", "FWUpdateProcessor"}) {
        QQmlComponent maker(&rig.shell->engine());
        maker.setData(QByteArray("import LoaderGUI 1.0\n") + type + " {}\n", QUrl("qrc:/maker.qml"));
        QCOMPARE(maker.errors().size(), 1);
        QCOMPARE(maker.errors().first().description(), QString(type));
    }
    const QMetaObject& presenter = FwLoaderGui::NotificationPresenter::staticMetaObject;
    QVERIFY(presenter.property(presenter.indexOfProperty("messagesModel")).isConstant());

    // A Basic-tab run: the window locks, refuses to close, and unlocks after.
    rig.driver->holdNextWrite(testsupport::commandAt(0xD8, 0x500000));
    rig.click("loadFirmwareButton");
    QTRY_VERIFY(rig.driver->isHeld());
    QTRY_VERIFY(rig.processor().isProgramming());

    for (const char* name : lockedControls)
        QTRY_VERIFY2(!rig.enabled(name), name);
    QCOMPARE(rig.text("basicInfoLabel"), QStringLiteral("Loading version t-7.3. Please wait for programming to complete."));
    QVERIFY(rig.log().contains("Starting loading of " + rig.firmwareDir + "/pravel.srec"));

    // Held at the first write of the run, the erase of the application: the
    // stage, how far it and the run are, the time.
    FWUpdateProcessor& processor = rig.processor();
    QTRY_COMPARE(rig.text("stageLabel"), QStringLiteral("Erasing pravel.srec"));
    QCOMPARE(processor.property("stageText").toString(), QStringLiteral("Erasing pravel.srec"));
    QQuickItem* bar = rig.item("runProgressBar");
    const double run = processor.property("runProgress").toDouble();
    QCOMPARE(bar->property("value").toDouble(), run);
    QVERIFY(run >= 0 && run < 0.5);
    const QString times = rig.text("timeLabel");
    QVERIFY(rig.item("timeLabel")->isVisible());
    QVERIFY2(times.startsWith(QString("stage %1%, run %2%, ")
                                  .arg(int(processor.property("stageProgress").toDouble() * 100))
                                  .arg(int(run * 100))) &&
                 times.contains(" elapsed"),
             qPrintable(times));

    // Closing now would cut the flash write short.
    const int rows = rig.log().size();
    QVERIFY(!rig.window->close());
    QVERIFY(rig.window->isVisible());
    QTRY_COMPARE(rig.log().size(), rows + 1);
    QCOMPARE(rig.log().last(), QStringLiteral("Programming is in progress. The loader can be closed once it has finished."));
    QObject* refused = rig.find("closeRefusedDialog");
    QTRY_VERIFY(refused->property("opened").toBool());
    QMetaObject::invokeMethod(refused, "accept");
    QTRY_VERIFY(!refused->property("visible").toBool());

    rig.driver->release();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.processor().isProgramming(), 20000);
    for (const char* name : lockedControls)
        QTRY_VERIFY2(rig.enabled(name), name);
    QCOMPARE(rig.text("basicInfoLabel"), ready);
    QTRY_VERIFY(rig.logHas("Device programming is complete."));
    QCOMPARE(rig.flash(0x500000, rig.srec.size()), rig.srec);
    QCOMPARE(rig.flash(0, rig.bit.size()), rig.bit);
    // What to do now, in the success colour, where the progress was.
    QTRY_COMPARE(rig.text("outcomeTitle"), QStringLiteral("Programming complete"));
    QCOMPARE(rig.item("outcomeTitle")->property("color").value<QColor>(),
             rig.window->property("successColor").value<QColor>());
    QVERIFY(rig.item("outcomePanel")->isVisible() && !rig.item("timeLabel")->isVisible());
    QVERIFY(rig.window->close()); // idle again: closes as usual
}

namespace {

// The Qt Widgets dialog the platform dialog falls back to, once it shows.
QFileDialog* shownFileDialog()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QFileDialog*>(widget); dialog && dialog->isVisible())
            return dialog;
    return nullptr;
}

// A name typed into the dialog's name box (its completion popup showing)
// and confirmed with Enter, as a user does.
void typeName(QFileDialog* dialog, const QString& name)
{
    auto* nameBox = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    QVERIFY(nameBox);
    // QTest types ASCII only; the rest arrives as if pasted.
    const bool ascii = std::all_of(name.begin(), name.end(), [](QChar c) { return c.unicode() < 128; });
    if (ascii)
        QTest::keyClicks(nameBox, name);
    else
        nameBox->setText(name);
    QTest::keyClick(nameBox, Qt::Key_Return);
}

bool anyWidgetShown()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->isVisible())
            return true;
    return false;
}

} // namespace

void WindowTest::advancedTabThroughTheRealDialog()
{
    LoaderRig rig;
    QVERIFY(QTest::qWaitForWindowExposed(rig.window));
    rig.click("advancedTabButton");
    QTRY_VERIFY(rig.item("advancedTab")->isVisible());
    QCOMPARE(rig.processor().programmingMode(), FWUpdateProcessor::Single);
    QCOMPARE(rig.text("fileLabel"), QStringLiteral("No file selected."));
    QVERIFY(!rig.enabled("loadFirmwareButton"));

    // Application: the demo S-records, picked in the dialog.
    const QString srecPath = rig.firmwareDir + "/pravel.srec";
    rig.click("selectFileButton");
    QFileDialog* dialog = nullptr;
    QTRY_VERIFY((dialog = shownFileDialog()));
    QCOMPARE(dialog->nameFilters(), QStringList{"Application executable (*.srec)"});
    QCOMPARE(dialog->directory().absolutePath(), rig.firmwareDir);
    typeName(dialog, srecPath);
    QTRY_COMPARE(rig.processor().firmwareFile(), srecPath);
    QCOMPARE(rig.processor().memOffset(), 0x500000);
    // Gone with its completion popup: nothing of it stays over the window.
    QTRY_VERIFY(!anyWidgetShown());

    // Bootloader: the choice is forgotten by the window and by the dialog.
    rig.click("bootloaderRadio");
    QTRY_COMPARE(rig.text("fileLabel"), QStringLiteral("No file selected."));
    QCOMPARE(rig.processor().firmwareFile(), QString());
    QCOMPARE(rig.processor().memOffset(), 0);
    QVERIFY(!rig.enabled("loadFirmwareButton"));
    rig.click("selectFileButton");
    QTRY_VERIFY((dialog = shownFileDialog()));
    QCOMPARE(dialog->nameFilters(), QStringList{"FPGA bitstream (*.bit)"});
    auto* nameBox = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    QVERIFY(nameBox);
    QCOMPARE(nameBox->text(), QString());
    QVERIFY(!dialog->selectedFiles().contains(srecPath));
    typeName(dialog, ""); // nothing named: the dialog stays
    QVERIFY(dialog->isVisible());
    QCOMPARE(rig.processor().firmwareFile(), QString());

    // Chosen as bootloader anyway, the S-records ask before anything is erased.
    typeName(dialog, srecPath);
    QTRY_COMPARE(rig.processor().firmwareFile(), srecPath);
    rig.emulated->trace().clear();
    const int rows = rig.log().size();
    rig.click("loadFirmwareButton");
    QObject* risk = rig.find("riskDialog");
    QTRY_VERIFY(risk->property("opened").toBool());
    const QString warning = rig.find("riskText")->property("text").toString();
    QVERIFY2(warning.contains(srecPath + " is to be written at Offset: 0, where the Bootloader (FPGA bitstream) belongs") &&
                 warning.contains("the instrument will not start"),
             qPrintable(warning));
    // The keyboard starts on Cancel, its focus drawn: Enter writes nothing.
    QTRY_COMPARE(rig.window->activeFocusItem(), rig.item("riskCancelButton"));
    QVERIFY(rig.item("riskCancelButton")->findChild<QQuickItem*>("focusFrame")->isVisible());
    QTest::keyClick(rig.window, Qt::Key_Return);
    QTRY_VERIFY(!risk->property("visible").toBool());
    QTest::qWait(50);
    QVERIFY(!rig.processor().isProgramming());
    QCOMPARE(rig.log().mid(rows), QStringList{"Cancelled at the question \"Write this file?\": nothing was written.\n"});
    QVERIFY(rig.emulated->trace().spi().empty()); // not a byte went to the flash

    // A real bitstream behind a path a careless URL-to-path step would
    // mangle: no question, written at 0.
    const QString folder = rig.dir.path() + QStringLiteral("/Bitströme #2 (Prüfung) 100%");
    const QString path = folder + QStringLiteral("/früh #1 ä.bit");
    const QByteArray bit = bytes(emu::DemoFirmware::bitFile("chosen", "7a35tcsg324", 1500));
    QVERIFY(QDir().mkpath(folder) && writeAll(path, bit));
    rig.click("selectFileButton");
    QTRY_VERIFY((dialog = shownFileDialog()));
    typeName(dialog, path);
    QTRY_COMPARE(rig.processor().firmwareFile(), path);
    QCOMPARE(rig.text("fileLabel"), path);
    QCOMPARE(rig.item("fileLabel")->property("elide").toInt(), int(Qt::ElideMiddle));
    QVERIFY(rig.item("fileLabel")->width() <= rig.window->width());
    // A share keeps its host (a drive letter is this platform's own: Qt's rule).
    QCOMPARE(rig.processor().localPath(QUrl("file://host/share/a%20b.bit")), QString("//host/share/a b.bit"));
    QVERIFY(!rig.logHas("File does not exist"));
    rig.click("loadFirmwareButton");
    QTRY_VERIFY_WITH_TIMEOUT(rig.logHas("Device programming is complete."), 20000);
    QVERIFY(!risk->property("visible").toBool());
    QTRY_VERIFY(!rig.window->property("busyProgramming").toBool()); // the window's own view of the run's end
    QCOMPARE(rig.flash(0, bit.size()), bit);
    QCOMPARE(rig.flash(0x500000, 16), QByteArray(16, char(0xFF))); // only the chosen file

    // The user insists on the wrong file: it is written as asked.
    rig.click("applicationRadio");
    rig.click("selectFileButton");
    QTRY_VERIFY((dialog = shownFileDialog()));
    typeName(dialog, path);
    QTRY_COMPARE(rig.processor().firmwareFile(), path);
    rig.click("loadFirmwareButton");
    QTRY_VERIFY(risk->property("opened").toBool());
    rig.click("riskWriteButton");
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().count("Device programming is complete. Device must be restarted for changes to take effect.\n") == 2, 20000);
    QCOMPARE(rig.flash(0x500000, bit.size()), bit);

    // A bitstream for another FPGA than the flash holds: the run asks through
    // the same dialog, "Cancel" writes nothing, "Write Anyway" writes it, and
    // closing the window while it asks says no.
    const QByteArray other = bytes(emu::DemoFirmware::bitFile("other", "7a50tcsg324", 1500));
    const QString otherPath = rig.dir.path() + "/other.bit";
    QVERIFY(writeAll(otherPath, other));
    rig.click("bootloaderRadio");
    for (const char* answer : {"riskCancelButton", "riskWriteButton", ""}) {
        QTRY_VERIFY(rig.enabled("selectFileButton"));
        rig.click("selectFileButton");
        QTRY_VERIFY((dialog = shownFileDialog()));
        typeName(dialog, *answer ? otherPath : path);
        QTRY_VERIFY(!rig.processor().firmwareFile().isEmpty());
        const QByteArray before = rig.flash(0, 0x1000);
        rig.click("loadFirmwareButton");
        QTRY_VERIFY(risk->property("opened").toBool());
        const QString question = rig.find("riskText")->property("text").toString();
        QVERIFY2(question.contains("the instrument's current firmware is for an XC7A"), qPrintable(question));
        QVERIFY(rig.processor().isProgramming());
        if (*answer)
            rig.click(answer);
        else
            QVERIFY(rig.window->close());
        // The window's own view of the run: its end has reached the document.
        QTRY_VERIFY_WITH_TIMEOUT(!rig.window->property("busyProgramming").toBool(), 20000);
        QTRY_VERIFY(!risk->property("visible").toBool());
        QCOMPARE(rig.flash(0, 0x1000), answer == std::string("riskWriteButton") ? other.leftJustified(0x1000, char(0xFF)) : before);
    }
}

void WindowTest::noDeviceUntilTheBridgeComesBack()
{
    LoaderRig rig(false);
    QVERIFY(QTest::qWaitForWindowExposed(rig.window));
    QCOMPARE(rig.log().first(), QStringLiteral("Initializing loader..."));
    QVERIFY(rig.logHas("Device not found."));
    QCOMPARE(rig.text("basicInfoLabel"), QStringLiteral("Device not ready."));
    QVERIFY(!rig.enabled("loadFirmwareButton") && rig.enabled("refreshDeviceButton"));

    QCOMPARE(rig.text("outcomeTitle"), QStringLiteral("No instrument found"));

    rig.driver->setPlugged(true);
    rig.click("refreshDeviceButton");
    QTRY_VERIFY(rig.processor().deviceDetected());
    QVERIFY(rig.enabled("loadFirmwareButton"));
    QCOMPARE(rig.text("basicInfoLabel"), ready);
    QVERIFY(!rig.item("outcomePanel")->isVisible());
}

void WindowTest::missingFirmwareDirectoryIsNamed()
{
    LoaderRig rig(true, "mt25q128", false);
    QVERIFY(QTest::qWaitForWindowExposed(rig.window));
    QCOMPARE(rig.log().first(), QStringLiteral("Initializing loader..."));
    QVERIFY(rig.logHas("MT25Q128") && !rig.logHas("Device not found"));
    QCOMPARE(rig.text("basicInfoLabel"), "The firmware directory is missing: it was looked for at " +
                                             QDir::toNativeSeparators(rig.firmwareDir) + ".");
    QVERIFY(!rig.enabled("loadFirmwareButton"));

    // Put in place now, it is found with F5 (Refresh Device); no restart.
    QDir().mkpath(rig.firmwareDir);
    writeAll(rig.firmwareDir + "/pravel.srec", rig.srec);
    writeAll(rig.firmwareDir + "/version.txt", "t-7.3\n");
    QVERIFY(QTest::qWaitForWindowActive(rig.window));
    QTest::keyClick(rig.window, Qt::Key_F5);
    QTRY_COMPARE(rig.text("basicInfoLabel"), ready);
    QCOMPARE(rig.text("firmwareValue"), QStringLiteral("version t-7.3 (pravel.srec)"));
}

// A flash that does not answer: the recovery procedure, seven lines in one
// row, the Error that follows in the error colour; progress rows folded; the view follows the
// newest row only while it is at the end.
void WindowTest::logRowsAsTheyReadAndFollowTheNewest()
{
    LoaderRig rig(true, "corrupted");
    QVERIFY(QTest::qWaitForWindowExposed(rig.window));
    QTRY_VERIFY(rig.row("Flash corrupted!"));
    QQuickItem* procedure = rig.row("Flash corrupted!");
    QCOMPARE(procedure->property("lineCount").toInt(), 7);
    QCOMPARE(procedure->property("text").toString().count('\n'), 6); // the row's own line end is not a line
    const QColor errorColor = rig.window->property("errorColor").value<QColor>();
    QTRY_VERIFY(rig.row("Device not found."));
    QCOMPARE(rig.row("Device not found.")->property("color").value<QColor>(), errorColor);
    // Above the log: the procedure as numbered steps naming the real button.
    QCOMPARE(rig.text("outcomeTitle"), QStringLiteral("The configuration flash does not identify itself"));
    const QList<QQuickItem*> steps = rig.visible("outcomeStep");
    QCOMPARE(steps.size(), 5);
    QCOMPARE(steps.at(1)->property("text").toString(), QStringLiteral("2. Click Refresh Device."));
    QVERIFY(procedure->property("color").value<QColor>() != errorColor); // an Info report
    QQuickItem* view = rig.item("messagesListView");
    QVERIFY(QTest::qWaitForWindowActive(rig.window));
    view->forceActiveFocus();
    QTest::keyClick(rig.window, Qt::Key_Home);
    QQuickItem* first = nullptr;
    QTRY_VERIFY((first = rig.row("Initializing loader...")));
    QVERIFY(first->property("color").value<QColor>() != errorColor);
    QCOMPARE(first->property("lineCount").toInt(), 1);
    QCOMPARE(first->property("font").value<QFont>().family(), QFontDatabase::systemFont(QFontDatabase::FixedFont).family());
    QVERIFY(first->property("selectByMouse").toBool() && first->property("readOnly").toBool());

    // Not under the always-visible scroll bar.
    QQuickItem* bar = rig.item("logScrollBar");
    QVERIFY(first->width() + bar->width() <= view->width());
    QTest::keyClick(rig.window, Qt::Key_End);

    // Nine hundred progress rows are one row in the view, the latest; the
    // log keeps each.
    auto report = [](const std::string& text) { ProgressReporter::getInstance().reportMessage(ProgressReporter::Info, text); };
    QAbstractItemModel* shown = rig.shell->presenter().logView();
    const int logRows = rig.log().size();
    const int shownRows = shown->rowCount();
    for (int i = 1; i <= 900; ++i)
        report("\rProgress: " + std::to_string(i / 9) + "." + std::to_string(i % 9) + "%");
    report("\rProgress: 100.0%\n");
    report("Erase...OK\n");
    QCOMPARE(rig.log().size(), logRows + 902);
    QCOMPARE(shown->rowCount(), shownRows + 2);
    QTRY_VERIFY(rig.row("Progress: 100.0%"));
    QVERIFY(!rig.row("Progress: 99.8%"));

    for (int i = 0; i < 300; ++i)
        report("row " + std::to_string(i) + "\n");
    QTRY_VERIFY(view->property("atYEnd").toBool());

    // Scrolled back with the wheel: new rows leave the view where it is.
    ulong wheelTime = 1000;
    auto wheel = [&](int steps) {
        const QPoint at = view->mapToScene(QPointF(view->width() / 2, view->height() / 2)).toPoint();
        for (int i = 0; i < std::abs(steps); ++i) {
            QWheelEvent event(at, rig.window->mapToGlobal(at), QPoint(), QPoint(0, steps > 0 ? 120 : -120),
                              Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
            event.setTimestamp(wheelTime += 30);            QCoreApplication::sendEvent(rig.window, &event);
        }
        QTest::qWait(100);
        QTRY_VERIFY(!view->property("moving").toBool());
    };
    wheel(5);
    QVERIFY(!view->property("atYEnd").toBool());
    const qreal readingAt = view->property("contentY").toReal();
    for (int i = 0; i < 50; ++i)
        report("later " + std::to_string(i) + "\n");
    QTest::qWait(50);
    QCOMPARE(view->property("contentY").toReal(), readingAt);
    QVERIFY(!rig.row("later 49"));

    // Back down at the end: following again.
    for (int i = 0; i < 40 && !view->property("atYEnd").toBool(); ++i)
        wheel(-20);
    QVERIFY(view->property("atYEnd").toBool());
    report("newest\n");
    QTRY_VERIFY(rig.row("newest"));
    QTRY_VERIFY(view->property("atYEnd").toBool());

    // A hundred thousand rows: the scroll bar's handle stays big enough to grab.
    for (int i = 0; i < 100000; ++i)
        rig.shell->presenter().addMessage(QStringLiteral("bulk row\n"));
    QTRY_VERIFY(view->property("atYEnd").toBool());
    QVERIFY(bar->property("visualSize").toReal() * bar->height() >= 31.5);
}

// Ctrl+S: the dialog offers a dated name; the file holds the header and
// every row, stamped, without a carriage return; the log says where it went.
void WindowTest::savedLogHoldsEveryRow()
{
    LoaderRig rig;
    QVERIFY(QTest::qWaitForWindowActive(rig.window));
    ProgressReporter::getInstance().reportMessage(ProgressReporter::Error, "two\nlines\n");
    rig.shell->presenter().addMessage(QStringLiteral("no line end, Grüße"));
    ProgressReporter::getInstance().reportMessage(ProgressReporter::Info, "\rProgress: 50.0%");
    const QString path = rig.dir.path() + "/saved-log.txt";
    const QStringList rows = rig.log();

    QTest::keyClick(rig.window, Qt::Key_S, Qt::ControlModifier);
    QFileDialog* dialog = nullptr;
    QTRY_VERIFY((dialog = shownFileDialog()));
    auto* nameBox = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    QVERIFY(nameBox->text().startsWith("pravel-fw-loader-log-20"));
    nameBox->clear();
    typeName(dialog, path);
    QTRY_VERIFY(QFile::exists(path));
    QFile saved(path);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(saved.readAll());
    QVERIFY(text.contains("\nBridge serial: FT7PRVLB\nFlash: MT25Q128, 16 MiB\nFirmware version: t-7.3\nSaved: "));
    QVERIFY(text.contains(" two\n                        lines\n") && text.contains(" no line end, Grüße\n") &&
            text.contains(" Progress: 50.0%\n") && !text.contains('\r'));
    QCOMPARE(text.count(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} ",
                                           QRegularExpression::MultilineOption)),
             rows.size());
    QTRY_COMPARE(rig.log().last(), "Log saved to " + path + "\n");
}

// "Diagnose" in the Advanced tab: the window locks as for a run, the
// checklist names the step that finds a MISO line stuck high and the steps
// it rules out, and the report is saved for support.
void WindowTest::diagnoseLocksTheWindowAndShowsTheChecklist()
{
    LoaderRig rig(true, "mt25q128", true, "miso-high");
    QVERIFY(QTest::qWaitForWindowExposed(rig.window));
    rig.click("advancedTabButton");
    QTRY_VERIFY(rig.item("diagnoseButton")->isVisible());
    rig.driver->holdNextWrite();
    rig.click("diagnoseButton");
    QTRY_VERIFY(rig.driver->isHeld());
    QTRY_VERIFY(rig.find("diagnosisPanel")->property("opened").toBool());
    for (const char* name : lockedControls)
        QTRY_VERIFY2(!rig.enabled(name), name);
    QVERIFY(!rig.enabled("diagnoseButton") && !rig.enabled("closeDiagnosisButton"));
    rig.driver->release();

    QTRY_VERIFY(!rig.processor().isDiagnosing() && rig.enabled("closeDiagnosisButton"));
    QStringList verdicts;
    for (const QVariant& step : rig.processor().diagnosisSteps())
        verdicts << step.toMap().value("verdict").toString();
    QCOMPARE(verdicts, QStringList({"ok", "ok", "ok", "finding", "not run", "not run", "not run"}));
    QVERIFY(rig.text("diagnosisSummary").startsWith("Diagnose: 1 finding (step 4 SPI lines to the flash)"));
    QVERIFY(rig.logHas("4. SPI lines to the flash: FINDING: The JEDEC ID reads FF FF FF"));
    QTRY_VERIFY(rig.enabled("refreshDeviceButton"));

    const QString path = rig.dir.path() + "/diagnosis.json";
    QCOMPARE(rig.processor().saveDiagnosisReport(path), QString());
    QFile report(path);
    QVERIFY(report.open(QIODevice::ReadOnly));
    QVERIFY(report.readAll().contains("\"result\": \"findings\""));
    QVERIFY(!rig.processor().saveDiagnosisReport(rig.dir.path() + "/no/such/dir/r.json").isEmpty());
}

// Told to quit mid-run (the platform, a signal), the window stays and says
// why until the run has ended; then the flash holds the whole image.
void WindowTest::quitDuringARunFinishesTheRunFirst()
{
    LoaderRig rig;
    QVERIFY(QTest::qWaitForWindowExposed(rig.window));
    rig.driver->holdNextWrite();
    rig.click("loadFirmwareButton");
    QTRY_VERIFY(rig.driver->isHeld());
    QTRY_VERIFY(rig.processor().isProgramming());

    QString shownWhileWaiting;
    QTimer::singleShot(0, [] { QCoreApplication::quit(); });
    QTimer::singleShot(100, [&] {
        shownWhileWaiting = rig.text("stageLabel");
        QCoreApplication::quit(); // asked twice: still waits
        rig.driver->release();
    });
    QCOMPARE(rig.shell->exec(), 0);
    QCOMPARE(shownWhileWaiting, QStringLiteral("Finishing the programming run before exit..."));
    QVERIFY(!rig.processor().isProgramming());
    QCoreApplication::sendPostedEvents();
    QVERIFY(rig.logHas("Device programming is complete."));
    QCOMPARE(rig.flash(0x500000, rig.srec.size()), rig.srec);
    QCOMPARE(rig.flash(0, rig.bit.size()), rig.bit);
}

// A file gone since it was chosen is named before any question about the
// others (download.bit here would ask), and nothing starts.
void WindowTest::aVanishedFileIsNamedBeforeAnyQuestion()
{
    LoaderRig rig;
    QVERIFY(QTest::qWaitForWindowExposed(rig.window));
    QVERIFY(!rig.item("progressArea")->isVisible() && !rig.item("outcomePanel")->isVisible());
    QVERIFY(QFile::remove(rig.firmwareDir + "/pravel.srec"));
    writeAll(rig.firmwareDir + "/download.bit", rig.srec);
    rig.click("loadFirmwareButton");
    QTRY_COMPARE(rig.text("outcomeTitle"), QStringLiteral("Programming failed: nothing was changed"));
    QCOMPARE(rig.text("outcomeText"),
             QStringLiteral("pravel.srec is no longer there. Nothing was changed: the instrument starts as before."));
    QCOMPARE(rig.item("outcomeTitle")->property("color").value<QColor>(), rig.window->property("errorColor").value<QColor>());
    QVERIFY(!rig.find("riskDialog")->property("visible").toBool());
    QVERIFY(!rig.logHas("Starting loading of"));
    QVERIFY(rig.log().last().startsWith("Not loaded: " + rig.firmwareDir + "/pravel.srec is no longer there."));
}

// Tab reaches every control, each showing its focus; Enter works the
// focused one as a click does; the log scrolls by keys.
void WindowTest::keyboardAlone()
{
    LoaderRig rig;
    QVERIFY(QTest::qWaitForWindowActive(rig.window));
    for (int i = 0; i < 300; ++i)
        rig.shell->presenter().addMessage(QString("row %1").arg(i));
    const QStringList order = {"basicTabButton", "advancedTabButton", "refreshDeviceButton",
                               "loadFirmwareButton", "saveLogButton", "messagesListView"};
    auto focused = [&rig] { return rig.window->activeFocusItem(); };
    auto focusShown = [](QQuickItem* item) {
        if (auto* frame = item->findChild<QQuickItem*>("focusFrame"))
            return frame->isVisible();
        auto* pane = item->parentItem()->parentItem();
        return pane->property("background").value<QObject*>()->property("border").value<QObject*>()->property("width").toInt() > 0;
    };
    for (const QString& name : order) {
        QTest::keyClick(rig.window, Qt::Key_Tab);
        QCOMPARE(focused()->objectName(), name);
        QVERIFY2(focusShown(focused()), qPrintable(name));
    }

    // The log: Home, PageDown, End.
    QQuickItem* view = rig.item("messagesListView");
    QTest::keyClick(rig.window, Qt::Key_Home);
    QTRY_VERIFY(view->property("atYBeginning").toBool());
    const qreal top = view->property("contentY").toReal();
    QTest::keyClick(rig.window, Qt::Key_PageDown);
    QVERIFY(view->property("contentY").toReal() > top + view->height() / 2);
    QTest::keyClick(rig.window, Qt::Key_End);
    QTRY_VERIFY(view->property("atYEnd").toBool());

    // Enter selects a tab and a radio button; keypad Enter refreshes.
    for (int i = 0; i < 4; ++i)
        QTest::keyClick(rig.window, Qt::Key_Backtab);
    QCOMPARE(focused()->objectName(), QString("advancedTabButton"));
    QTest::keyClick(rig.window, Qt::Key_Return);
    QTRY_VERIFY(rig.item("advancedTab")->isVisible());
    QTest::keyClick(rig.window, Qt::Key_Tab);
    QCOMPARE(focused()->objectName(), QString("bootloaderRadio"));
    QVERIFY(focusShown(focused()));
    QTest::keyClick(rig.window, Qt::Key_Return);
    QVERIFY(rig.checked("bootloaderRadio"));
    QCOMPARE(rig.processor().memOffset(), 0);
    const int opened = rig.log().count("Port(USB <-> Serial Converter B) open\n");
    while (focused()->objectName() != "refreshDeviceButton")
        QTest::keyClick(rig.window, Qt::Key_Tab);
    QTest::keyClick(rig.window, Qt::Key_Enter, Qt::KeypadModifier);
    QTRY_COMPARE(rig.log().count("Port(USB <-> Serial Converter B) open\n"), opened + 1);
}

// What a screen reader hears, through Qt's accessibility interfaces.
void WindowTest::accessibleNamesAndRoles()
{
    LoaderRig rig(true, "corrupted");
    QVERIFY(QTest::qWaitForWindowExposed(rig.window));
    QAccessible::setActive(true); // as when a screen reader starts
    const struct
    {
        const char* object;
        QAccessible::Role role;
        const char* name;
    } expected[] = {
        {"tabs", QAccessible::PageTabList, "Firmware to load"},
        {"advancedTabButton", QAccessible::PageTab, "Advanced"},
        {"bootloaderRadio", QAccessible::RadioButton, "Bootloader (FPGA bitstream)"},
        {"refreshDeviceButton", QAccessible::Button, "Refresh Device"},
        {"saveLogButton", QAccessible::Button, "Save Log..."},
        {"runProgressBar", QAccessible::ProgressBar, "Run progress"},
        {"stageLabel", QAccessible::StaticText, "Idle"},
        {"basicInfoLabel", QAccessible::StaticText, "Device not ready."},
        {"stateValue", QAccessible::StaticText, "State: The flash does not identify itself"},
        {"outcomeTitle", QAccessible::StaticText, "The configuration flash does not identify itself"},
        {"messagesListView", QAccessible::List, "Activity Log"},
    };
    for (const auto& item : expected) {
        QAccessibleInterface* face = QAccessible::queryAccessibleInterface(rig.find(item.object));
        QVERIFY2(face, item.object);
        QCOMPARE(face->role(), item.role);
        QCOMPARE(face->text(QAccessible::Name), QString(item.name));
    }
    QAccessibleInterface* step = QAccessible::queryAccessibleInterface(rig.visible("outcomeStep").value(0));
    QVERIFY(step && step->text(QAccessible::Name).startsWith("1. Ground pin 13"));
    QAccessible::setActive(false);
}

// Three instruments: the panel says none is chosen and Load Firmware waits
// for a choice, made with the arrow keys; Load Firmware on All locks the
// window and gives each instrument a row that a screen reader names.
void WindowTest::severalInstrumentsChosenByKeyboard()
{
    LoaderRig rig(true, "mt25q128", true, "", "3");
    QVERIFY(QTest::qWaitForWindowActive(rig.window));
    QAccessible::setActive(true);
    QVERIFY(!rig.enabled("loadFirmwareButton") && rig.enabled("loadAllButton"));
    QCOMPARE(rig.text("stateValue"), QStringLiteral("3 attached: choose one"));
    QVERIFY(rig.text("basicInfoLabel").startsWith("3 instruments are attached. Choose one by its serial number"));
    QTest::keyClick(rig.window, Qt::Key_Tab);
    QQuickItem* choice = rig.item("instrumentChoice");
    QCOMPARE(rig.window->activeFocusItem(), choice);
    QVERIFY(choice->findChild<QQuickItem*>("focusFrame")->isVisible());
    QCOMPARE(QAccessible::queryAccessibleInterface(choice)->text(QAccessible::Name), QString("Instrument by serial number"));
    QTest::keyClick(rig.window, Qt::Key_Down);
    QTest::keyClick(rig.window, Qt::Key_Down);
    QTRY_COMPARE(rig.processor().chosenSerial(), QString("FT7PRVL2"));
    QCOMPARE(choice->property("displayText").toString(), QString("FT7PRVL2 at 0x2122"));
    QCOMPARE(rig.text("flashValue") + " | " + rig.text("stateValue"), QString("MT25Q128, 16 MiB | Ready"));
    QVERIFY(rig.logHas("Port(serial FT7PRVL2B) open"));
    QVERIFY(rig.enabled("loadFirmwareButton"));

    // Every control locks while any run goes, and the window stays.
    rig.driver->holdNextWrite();
    rig.click("loadAllButton");
    QTRY_VERIFY(rig.driver->isHeld());
    for (const char* name : lockedControls)
        QTRY_VERIFY2(!rig.enabled(name), name);
    QVERIFY(!rig.enabled("instrumentChoice") && !rig.enabled("loadAllButton"));
    QVERIFY(!rig.window->close());
    QTRY_VERIFY(rig.find("closeRefusedDialog")->property("opened").toBool());
    QMetaObject::invokeMethod(rig.find("closeRefusedDialog"), "accept");
    rig.driver->release();
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().count(QStringLiteral("FT7PRVL3: Device programming is complete. Device must be "
                                                            "restarted for changes to take effect.\n")) == 1,
                             20000);
    QTRY_VERIFY(!rig.window->property("busyProgramming").toBool());
    const QList<QQuickItem*> rows = rig.visible("instrumentRow");
    QCOMPARE(rows.size(), 3);
    const QStringList serials = {"FT7PRVL", "FT7PRVL2", "FT7PRVL3"};
    for (int i = 0; i < 3; ++i) {
        QAccessibleInterface* row = QAccessible::queryAccessibleInterface(rows[i]);
        QVERIFY(row && row->role() == QAccessible::Row);
        const QString name = row->text(QAccessible::Name);
        QVERIFY2(name.startsWith(serials[i] + ", MT25Q128: Complete: Written and read back in "), qPrintable(name));
    }
    QTRY_COMPARE(rig.text("outcomeTitle"), QStringLiteral("Programming complete on 3 instruments"));
    QCOMPARE(rig.processor().chosenSerial(), QString("FT7PRVL2")); // still the one chosen
    QAccessible::setActive(false);
}

// Before the window exists a second start raises nothing; afterwards it
// brings this window forward and leaves the log alone. Either way it ends 0.
void WindowTest::secondStartRaisesThisWindowOnceItExists()
{
    QTemporaryDir runtime;
    LocalInstanceGuard guard(QStringLiteral("PravelAppMutex"), title, runtime.path());
    QVERIFY(guard.acquire());
    QSignalSpy raised(&guard, &LocalInstanceGuard::raiseRequested);
    auto secondStart = [&runtime]() -> QByteArray {
        QProcess second;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_RUNTIME_DIR", runtime.path());
        env.insert("PRAVEL_DEVICE", "emulated");
        second.setProcessEnvironment(env);
        QSignalSpy finished(&second, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
        second.start(QStringLiteral(PRAVEL_LOADER_EXE), QStringList());
        const bool ended = finished.wait(15000) && second.exitStatus() == QProcess::NormalExit && second.exitCode() == 0;
        return ended ? second.readAllStandardOutput() : QByteArray("did not end with 0");
    };

    const QByteArray early = secondStart();
    QVERIFY2(early.contains("already running") && !early.contains("brought forward"), early.constData());
    QCOMPARE(raised.size(), 1);
    QCOMPARE(raised.takeFirst().first().value<QWindow*>(), static_cast<QWindow*>(nullptr));

    LoaderRig rig;
    QVERIFY(QTest::qWaitForWindowExposed(rig.window));
    QWindow other; // something else has the focus before the second start
    other.setTitle("another window");
    other.show();
    other.requestActivate();
    QTRY_COMPARE(QGuiApplication::focusWindow(), &other);
    const QStringList logBefore = rig.log();

    const QByteArray late = secondStart();
    QVERIFY2(late.contains("its window was brought forward"), late.constData());
    QCOMPARE(raised.size(), 1);
    QCOMPARE(raised.first().first().value<QWindow*>(), static_cast<QWindow*>(rig.window));
    QTRY_COMPARE(QGuiApplication::focusWindow(), static_cast<QWindow*>(rig.window));
    QCOMPARE(rig.log(), logBefore);
}

QTEST_MAIN(WindowTest)
#include "WindowTest.moc"
