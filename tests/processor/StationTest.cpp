// The update processor on an emulated bench of several instruments: one
// chosen by serial number and programmed alone, or all of them at once, each
// run on its instrument's own clock and in the run history.

#include "tests/support/Emulated.h"
#include "tests/support/GatedDriver.h"

#include "emulator/CallTrace.h"
#include "emulator/DemoFirmware.h"
#include "emulator/Ft2232hBridge.h"
#include "gui/FWUpdateProcessor.h"
#include "gui/InstrumentRows.h"
#include "gui/NotificationPresenter.h"
#include "record/Sha256.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using FwLoaderGui::FWUpdateProcessor;
using testsupport::Bytes;

namespace {

const QString kComplete = "Device programming is complete. Device must be restarted for changes to take effect.\n";

std::string serialOf(size_t index)
{
    return emu::BenchConfig::serialNumberOf(static_cast<unsigned>(index));
}

// A bench of `instruments`, a small firmware set, the run history in a
// directory of its own, and the processor as start-up makes it.
struct Station
{
    explicit Station(const std::string& instruments, const std::string& faults = "", const std::string& timing = "instant")
        : bench(testsupport::emulatedBench(instruments, faults, timing)),
          gate(std::make_shared<testsupport::GatedDriver>(bench))
    {
        qputenv("XDG_STATE_HOME", state.path().toUtf8());
        bench->trace().setEnabled(false);
        writeSet("7a35tcsg324");
        processor = std::make_unique<FWUpdateProcessor>(gate, bench->clock());
        FwLoaderGui::InstrumentAccess access;
        access.clockFor = [this](const std::string& serial) -> Clock& { return testsupport::clockOf(*bench, serial); };
        access.device = "emulated";
        processor->setInstrumentAccess(access);
        processor->setFirmwareDir(QUrl::fromLocalFile(firmware.path()));
        processor->refreshDevices();
    }
    void writeSet(const char* part, bool damaged = false)
    {
        bit = emu::DemoFirmware::bitFile("station", part, 3000);
        if (damaged)
            bit[bit.size() / 2] ^= 0x10; // in the frame data: its CRC check fails
        const std::string records = emu::DemoFirmware::srecFile(6000);
        testsupport::writeFile(path("download.bit").toStdString(), bit);
        testsupport::writeFile(path("pravel.srec").toStdString(), Bytes(records.begin(), records.end()));
        testsupport::writeFile(path("version.txt").toStdString(), Bytes{'4', '.', '2', '\n'});
    }
    QString path(const char* name) const { return firmware.filePath(name); }
    Bytes file(const char* name) const { return testsupport::readFile(path(name).toStdString()); }
    bool holds(size_t index, const Bytes& data, uint32_t offset) const
    {
        const auto& storage = bench->instrument(index)->flash().storage();
        for (size_t i = 0; i < data.size(); ++i)
            if (storage.at(offset + uint32_t(i)) != data[i])
                return false;
        return true;
    }
    bool holdsTheSet(size_t index) const
    {
        return holds(index, file("pravel.srec"), 0x500000) && holds(index, file("download.bit"), 0);
    }
    bool untouched(size_t index) const
    {
        return holds(index, Bytes(0x1000, 0xFF), 0) && holds(index, Bytes(0x1000, 0xFF), 0x500000);
    }
    void runToEnd(bool all = false)
    {
        all ? processor->programAll() : processor->program();
        processor->waitForProgramming();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(); // what the batch's end queued in turn
    }
    QStringList log()
    {
        QCoreApplication::sendPostedEvents();
        return presenter.messagesModel()->stringList();
    }
    QList<QJsonObject> history() const
    {
        QList<QJsonObject> records;
        QFile lines(state.filePath("pravel-fw-loader/runs.jsonl"));
        if (lines.open(QIODevice::ReadOnly))
            while (!lines.atEnd())
                records << QJsonDocument::fromJson(lines.readLine()).object();
        return records;
    }
    // The record names this instrument and the images as they are on disk,
    // and its time is its instrument's.
    bool recordOf(const QJsonObject& record, size_t index) const
    {
        bool ok = record["serial"].toString().toStdString() == serialOf(index) && record["duration_s"].toDouble() > 0 &&
                  record["program"].toString() == "pravel-fw-loader" && record["firmware_version"].toString() == "4.2";
        for (const QJsonValue& image : record["images"].toArray()) {
            const Bytes data = testsupport::readFile(image["path"].toString().toStdString());
            ok = ok && image["sha256"].toString().toStdString() == Sha256::hex(data.data(), data.size());
        }
        return ok && record["images"].toArray().size() == 2;
    }
    static QStringList times(int count, const QString& text) { return QVector<QString>(count, text).toList(); }
    QStringList rows(int role) const
    {
        QStringList shown;
        const FwLoaderGui::InstrumentRows& table = processor->rows();
        for (int i = 0; i < table.count(); ++i)
            shown << table.data(table.index(i), role).toString();
        return shown;
    }

    QTemporaryDir firmware, state;
    std::shared_ptr<d2xx::EmulatedDriver> bench;
    std::shared_ptr<testsupport::GatedDriver> gate;
    Bytes bit;
    FwLoaderGui::NotificationPresenter presenter;
    std::unique_ptr<FWUpdateProcessor> processor;
};

} // namespace

class StationTest : public QObject
{
    Q_OBJECT

private slots:
    void oneChosenByItsSerialNumberIsTheOnlyOneWritten_data()
    {
        QTest::addColumn<int>("count");
        for (int count : {1, 2, 3})
            QTest::newRow(qPrintable(QString::number(count))) << count;
    }

    // Several and none chosen: Load Firmware is refused, naming them, and no
    // port opens. Chosen (or alone), the instrument is written on its own
    // clock, the others are left alone, and its run is recorded.
    void oneChosenByItsSerialNumberIsTheOnlyOneWritten()
    {
        QFETCH(int, count);
        Station station(std::to_string(count));
        FWUpdateProcessor& p = *station.processor;
        const size_t chosen = size_t(count) - 1;
        QCOMPARE(p.choiceNeeded(), count > 1);
        if (count > 1) {
            QVERIFY(!p.deviceDetected());
            QCOMPARE(p.instrumentState(), QString("%1 attached: choose one").arg(count));
            station.bench->trace().setEnabled(true);
            station.runToEnd();
            QVERIFY2(station.log().last().startsWith(QString("Aborting programming: %1 instruments are attached and none "
                                                             "is chosen (FT7PRVL at 0x2112, FT7PRVL2 at 0x2122")
                                                         .arg(count)),
                     qPrintable(station.log().last()));
            QCOMPARE(station.bench->trace().calls("FT_OpenEx").size(), size_t(0));
            station.bench->trace().setEnabled(false);
            p.chooseInstrument(QString::fromStdString(serialOf(chosen)));
        }
        QCOMPARE(p.chosenSerial().toStdString(), serialOf(chosen));
        QVERIFY(p.deviceDetected());
        // The diagnosis checks the one chosen, too.
        p.diagnose();
        p.waitForProgramming();
        QCoreApplication::sendPostedEvents();
        QVERIFY(p.diagnosisSteps().value(0).toMap()["line"].toString().contains(
            QString("(serial \"%1B\"").arg(QString::fromStdString(serialOf(chosen)))));
        QVERIFY(p.deviceDetected());
        std::vector<uint64_t> before;
        for (int i = 0; i < count; ++i)
            before.push_back(station.bench->clock(size_t(i)).nowNanoseconds());
        station.runToEnd();
        QCOMPARE(station.log().last(), kComplete);
        for (int i = 0; i < count; ++i) {
            const bool ran = size_t(i) == chosen;
            QVERIFY(ran ? station.holdsTheSet(size_t(i)) : station.untouched(size_t(i)));
            // The run sleeps on its own instrument's clock, and on no other.
            QCOMPARE(station.bench->clock(size_t(i)).nowNanoseconds() > before[size_t(i)], ran);
        }
        const QList<QJsonObject> records = station.history();
        QCOMPARE(records.size(), 1);
        QVERIFY(station.recordOf(records[0], chosen));
        QCOMPARE(records[0]["outcome"].toString(), QString("success"));
        QCOMPARE(records[0]["options"].toObject()["all"].toString(), QString("false"));

        // A history that cannot be written costs a warning row, not the run.
        const QString blocked = station.state.filePath("file");
        QVERIFY(QFile(blocked).open(QIODevice::WriteOnly));
        qputenv("XDG_STATE_HOME", blocked.toUtf8());
        station.runToEnd();
        QCOMPARE(p.lastOutcome(), QString("complete"));
        QVERIFY(station.log().last().startsWith("Warning: the run was not recorded in the run history: cannot create"));
    }

    void everyInstrumentGetsTheSet_data()
    {
        QTest::addColumn<QString>("instruments");
        QTest::addColumn<QStringList>("parts");
        QTest::newRow("1") << "mt25q128" << QStringList{"MT25Q128"};
        QTest::newRow("2") << "mt25q128,s25fl256" << QStringList{"MT25Q128", "S25FL256"};
        QTest::newRow("3") << "s25fl256,mt25q128,mt25q128" << QStringList{"S25FL256", "MT25Q128", "MT25Q128"};
    }

    // Load Firmware on All: every flash holds the set, every row is complete,
    // every instrument has its record, timed on its own clock (where its
    // flash's typical times pass: the parts' differ); the chosen one is
    // found again after.
    void everyInstrumentGetsTheSet()
    {
        QFETCH(QString, instruments);
        QFETCH(QStringList, parts);
        const int count = parts.size();
        Station station(instruments.toStdString(), "", "typical");
        FWUpdateProcessor& p = *station.processor;
        QSignalSpy all(&p, &FWUpdateProcessor::programmingAllChanged);
        std::vector<uint64_t> before, after; // each instrument's clock, until the window looks for one again
        for (int i = 0; i < count; ++i)
            before.push_back(station.bench->clock(size_t(i)).nowNanoseconds());
        connect(&p, &FWUpdateProcessor::programmingAllChanged, this, [&] {
            for (int i = 0; i < count && !p.programmingAll(); ++i)
                after.push_back(station.bench->clock(size_t(i)).nowNanoseconds());
        });
        station.runToEnd(true);
        QCOMPARE(all.count(), 2);
        QVERIFY(!p.programmingAll());
        QCOMPARE(station.rows(FwLoaderGui::InstrumentRows::OutcomeRole), Station::times(count, "complete"));
        QCOMPARE(station.rows(FwLoaderGui::InstrumentRows::FlashPartRole), parts);
        const QList<QJsonObject> records = station.history();
        QCOMPARE(records.size(), count);
        for (int i = 0; i < count; ++i) {
            QVERIFY(station.holdsTheSet(size_t(i)));
            QVERIFY(station.recordOf(records[i], size_t(i)));
            const double own = double(after[size_t(i)] - before[size_t(i)]) / 1e9;
            const double duration = records[i]["duration_s"].toDouble();
            QVERIFY2(duration <= own + 1e-3 && duration >= 0.95 * own, qPrintable(QString("%1 %2").arg(duration).arg(own)));
            QCOMPARE(records[i]["options"].toObject()["all"].toString(), QString("true"));
            QVERIFY(station.log().contains(QString::fromStdString(serialOf(size_t(i))) + ": " + kComplete));
        }
        for (const QString& row : station.log()) // a blank line stays blank, not a bare serial number
            QVERIFY2(!QRegularExpression("^FT7PRVL\\d*: \\s*$").match(row).hasMatch(), qPrintable(row));
        QCOMPARE(p.outcomeKind(), QString("success"));
        QCOMPARE(p.outcomeTitle(), QString("Programming complete on %1 instruments").arg(count));
        QCOMPARE(p.deviceDetected(), count == 1);
        QCOMPARE(p.choiceNeeded(), count > 1);
    }

    // The second of three is pulled mid-run: its row says so and what it
    // left; the others are written and read back.
    void anInstrumentUnpluggedMidRunFailsAlone()
    {
        Station station("3", "2:unplug@60");
        FWUpdateProcessor& p = *station.processor;
        station.runToEnd(true);
        QCOMPARE(station.rows(FwLoaderGui::InstrumentRows::OutcomeRole), (QStringList{"complete", "failed", "complete"}));
        const QString detail = station.rows(FwLoaderGui::InstrumentRows::DetailRole)[1];
        QVERIFY2(detail.startsWith("The bridge stopped answering while ") &&
                     detail.endsWith("The instrument will not start until a run completes."),
                 qPrintable(detail));
        QVERIFY(station.holdsTheSet(0) && station.holdsTheSet(2) && !station.holdsTheSet(1));
        QCOMPARE(p.outcomeKind(), QString("incomplete"));
        QVERIFY(p.outcomeText().startsWith("FT7PRVL2: The bridge stopped answering"));
        const QList<QJsonObject> records = station.history();
        QCOMPARE(records.size(), 3);
        QCOMPARE(records[1]["outcome"].toString(), QString("failed"));
        QCOMPARE(records[1]["serial"].toString(), QString("FT7PRVL2"));
        QCOMPARE(records[2]["outcome"].toString(), QString("success"));
        QVERIFY(station.log().contains("FT7PRVL2: The USB connection to the bridge was lost\n"));
        // Back on the bus, that one is the one that will not start.
        station.bench->endCallFaults();
        p.chooseInstrument("FT7PRVL2");
        QVERIFY(p.flashIncomplete());
        p.chooseInstrument("FT7PRVL3");
        QVERIFY(!p.flashIncomplete());
    }

    // A flash stuck busy fails its instrument alone, its row counting the
    // wait second by second meanwhile.
    void aStuckFlashCountsItsWaitInItsRow()
    {
        Station station("2", "2:stuck-busy");
        QStringList waits;
        QObject::connect(&station.processor->rows(), &QAbstractItemModel::dataChanged, [&](const QModelIndex& at) {
            if (at.row() == 1)
                waits << at.data(FwLoaderGui::InstrumentRows::DetailRole).toString();
        });
        station.runToEnd(true);
        QCOMPARE(station.rows(FwLoaderGui::InstrumentRows::OutcomeRole), (QStringList{"complete", "failed"}));
        for (const char* wait : {"Waiting for the flash to finish erasing: 1 s", "Waiting for the flash to finish erasing: 2 s"})
            QVERIFY2(waits.contains(wait), qPrintable(waits.join(" | ")));
    }

    // A stop while every instrument is held mid-page ends every run between
    // transactions: none completes, each is recorded as interrupted.
    void aStopEndsEveryRun()
    {
        Station station("3");
        station.gate->holdNextWrite(testsupport::pageProgramAt(0x500000 + 0x100 * 20), 3);
        station.processor->programAll();
        station.gate->waitUntilHeld();
        station.processor->requestStop();
        station.gate->release();
        station.processor->waitForProgramming();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents();
        QCOMPARE(station.rows(FwLoaderGui::InstrumentRows::OutcomeRole), Station::times(3, "stopped"));
        for (const QJsonObject& record : station.history())
            QCOMPARE(record["outcome"].toString(), QString("interrupted"));
        QCOMPARE(station.history().size(), 3);
        for (size_t i = 0; i < 3; ++i) {
            QVERIFY(!station.holdsTheSet(i));
            QVERIFY(!station.bench->bridge(i)->isOpen(1));
        }
    }

    // The bitstream's guard never asks once per instrument: a risk of the
    // file itself (a failed CRC check) is asked once before any instrument
    // is touched; one that depends on an instrument's flash (another FPGA)
    // refuses that instrument alone, saying why in its row.
    void theBitstreamGuardAsksOnceOrRefusesOne()
    {
        Station station("3");
        FWUpdateProcessor& p = *station.processor;
        // The second holds another FPGA's bitstream, written alone.
        station.writeSet("7a50tcsg324");
        p.chooseInstrument("FT7PRVL2");
        station.runToEnd();
        QCOMPARE(p.lastOutcome(), QString("complete"));
        const Bytes other = station.bit;

        station.writeSet("7a35tcsg324");
        QSignalSpy asked(&p, &FWUpdateProcessor::questionChanged);
        station.runToEnd(true);
        QCOMPARE(asked.count(), 0);
        QCOMPARE(station.rows(FwLoaderGui::InstrumentRows::OutcomeRole), (QStringList{"complete", "failed", "complete"}));
        const QString refused = station.rows(FwLoaderGui::InstrumentRows::DetailRole)[1];
        QVERIFY2(refused.startsWith("Not written: This bitstream is for an XC7A35T") && refused.contains("XC7A50T"),
                 qPrintable(refused));
        QVERIFY(station.holds(1, other, 0));
        QVERIFY(station.holdsTheSet(0) && station.holdsTheSet(2));

        station.writeSet("7a35tcsg324", true);
        p.programAll();
        QTRY_VERIFY(p.question().contains("CRC checks fail") && p.question().endsWith("into all 3 instruments."));
        p.answerQuestion(false);
        p.waitForProgramming();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents();
        QCOMPARE(asked.count(), 2); // shown, then withdrawn
        QCOMPARE(station.rows(FwLoaderGui::InstrumentRows::OutcomeRole), Station::times(3, "not started"));
        QVERIFY(!station.holds(0, station.bit, 0) && station.holds(1, other, 0));
        QCOMPARE(p.outcomeKind(), QString("nothingChanged"));
    }
};

QTEST_GUILESS_MAIN(StationTest)
#include "StationTest.moc"
