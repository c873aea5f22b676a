#pragma once

#include "base/Clock.h"
#include "device/FirmwareBatch.h"
#include "device/FirmwareRun.h"
#include "device/InstrumentList.h"
#include "device/TFtdi.h"
#include "device/d2xx/D2xxDriver.h"
#include "gui/DiagnosisSession.h"
#include "gui/FirmwareDirectory.h"
#include "gui/InstrumentAccess.h"
#include "gui/InstrumentChoice.h"
#include "gui/OutcomeAdvice.h"
#include "gui/RiskQuestion.h"
#include "gui/SingleRun.h"
#include "gui/StationBatch.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantList>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class FirmwareSet;
class TRom;
class TFpga;

namespace FwLoaderGui {

class InstrumentRows;

// The one object the window drives the loader through: finds the instrument,
// keeps the firmware selection and the flash offset, and programs the
// firmware on a worker thread.
class FWUpdateProcessor : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("QML.Element", "auto")
    Q_PROPERTY(int memOffset READ memOffset WRITE setMemOffset NOTIFY memOffsetChanged)
    Q_PROPERTY(int isProgramming READ isProgramming NOTIFY isProgrammingChanged)
    Q_PROPERTY(int BootloaderOffset READ bootloaderOffset CONSTANT)
    Q_PROPERTY(int ApplicationOffset READ applicationOffset CONSTANT)
    Q_PROPERTY(bool deviceDetected READ deviceDetected NOTIFY deviceDetectedChanged)
    Q_PROPERTY(QUrl firmwareDir READ firmwareDir NOTIFY firmwareDirChanged)
    Q_PROPERTY(QString firmwareVersion READ firmwareVersion NOTIFY firmwareVersionChanged)
    Q_PROPERTY(QString firmwareFile READ firmwareFile WRITE setFirmwareFile NOTIFY firmwareFileChanged)
    Q_PROPERTY(ProgrammingMode programmingMode READ programmingMode WRITE setProgrammingMode NOTIFY programmingModeChanged)
    // The run's progress as data, for a progress bar: what it does now
    // ("Erasing pravel.srec", "Programming download.bit", ...; empty when no
    // run goes), how far that step and the whole run are (0 to 1), and how the
    // last run ended ("", "complete", "failed"). Updated on the GUI thread.
    Q_PROPERTY(QString stageText READ stageText NOTIFY stageTextChanged)
    Q_PROPERTY(double stageProgress READ stageProgress NOTIFY stageProgressChanged)
    Q_PROPERTY(double runProgress READ runProgress NOTIFY runProgressChanged)
    Q_PROPERTY(QString lastOutcome READ lastOutcome NOTIFY lastOutcomeChanged)
    // Seconds the run under way still takes (from the run's time model,
    // corrected as it goes); negative while not known, and when no run goes.
    Q_PROPERTY(double secondsLeft READ secondsLeft NOTIFY secondsLeftChanged)
    // What a wait of more than a second awaits, and for how long: "Waiting
    // for the flash to finish erasing: 12 s"; empty otherwise.
    Q_PROPERTY(QString stageDetail READ stageDetail NOTIFY stageDetailChanged)
    // The diagnosis as a checklist: one map per step with "number", "name",
    // "verdict" ("pending", "ok", "finding", "not run"), "line", "cause" and
    // "action", updated on the GUI thread as the steps end.
    Q_PROPERTY(QVariantList diagnosisSteps READ diagnosisSteps NOTIFY diagnosisStepsChanged)
    Q_PROPERTY(bool isDiagnosing READ isDiagnosing NOTIFY isDiagnosingChanged)
    // The diagnosis's closing line; empty before the first one ends.
    Q_PROPERTY(QString diagnosisSummary READ diagnosisSummary NOTIFY diagnosisStepsChanged)
    // The run's question before its first erase: why the bitstream it is
    // about to write may leave the instrument unable to start (another FPGA
    // than the flash's current bitstream, a failed CRC, encryption). Empty
    // while nothing is asked. The run waits for answerQuestion(), a stop
    // request or questionMinutes, whichever comes first; only a "yes" writes.
    Q_PROPERTY(QString question READ question NOTIFY questionChanged)
    // The instrument panel: the bridge's serial number, the flash part and
    // its size in bytes (empty and 0 while none is identified), the default
    // firmware files found in the firmware directory (file names, in the
    // order a Basic run writes them), where that directory was looked for
    // when it is missing, and the instrument's state in a few words.
    Q_PROPERTY(QString bridgeSerial READ bridgeSerial NOTIFY bridgeSerialChanged)
    Q_PROPERTY(QString flashPart READ flashPart NOTIFY flashPartChanged)
    Q_PROPERTY(int flashSize READ flashSize NOTIFY flashSizeChanged)
    Q_PROPERTY(QStringList firmwareFiles READ firmwareFiles NOTIFY firmwareFilesChanged)
    Q_PROPERTY(QString firmwareDirMissing READ firmwareDirMissing NOTIFY firmwareDirMissingChanged)
    Q_PROPERTY(QString instrumentState READ instrumentState NOTIFY instrumentStateChanged)
    // A run that touched the flash failed, and no run has rewritten that
    // image since: the instrument will not start.
    Q_PROPERTY(bool flashIncomplete READ flashIncomplete NOTIFY flashIncompleteChanged)
    // The outcome panel, after every run and every failed detection (see
    // OutcomeAdvice): its kind ("" when there is nothing to say, "success",
    // "nothingChanged", "incomplete", "flashNotIdentified", "flashBusy",
    // "bridgeLost", "noBridge"), a title, a paragraph and the steps to take,
    // in order.
    Q_PROPERTY(QString outcomeKind READ outcomeKind NOTIFY outcomeKindChanged)
    Q_PROPERTY(QString outcomeTitle READ outcomeTitle NOTIFY outcomeTitleChanged)
    Q_PROPERTY(QString outcomeText READ outcomeText NOTIFY outcomeTextChanged)
    Q_PROPERTY(QStringList outcomeSteps READ outcomeSteps NOTIFY outcomeStepsChanged)
    // The instruments attached, as Refresh Device last listed them: one map
    // each with "serial" (the bridge's USB serial number, as pravel-flash
    // list shows it), "location" ("0x2112") and "inUse".
    Q_PROPERTY(QVariantList instruments READ instruments NOTIFY instrumentsChanged)
    // The one the window works on (detection, runs, the diagnosis): the one
    // chosen with chooseInstrument(), or the only one attached. Empty while
    // several are attached and none is chosen (choiceNeeded): then no port is
    // opened and only programAll() programs.
    Q_PROPERTY(QString chosenSerial READ chosenSerial NOTIFY chosenSerialChanged)
    Q_PROPERTY(bool choiceNeeded READ choiceNeeded NOTIFY choiceNeededChanged)
    // A run on every attached instrument: one row each (InstrumentRows), kept
    // until the next run starts; programmingAll while it goes.
    Q_PROPERTY(QObject* instrumentRows READ instrumentRows CONSTANT)
    Q_PROPERTY(bool programmingAll READ programmingAll NOTIFY programmingAllChanged)

public:
    enum ProgrammingMode { Full = 0, Single = 1 };
    Q_ENUM(ProgrammingMode)

    static const QString versionFileName;
    static const QString bootloaderFileName;
    static const QString firmwareFileName;
    static const std::string portDescB;
    static constexpr int questionMinutes = 10;

    // Over the driver the entry point chose, sleeping on `clock` (tests: the
    // emulated instrument's driver and its virtual clock).
    FWUpdateProcessor(std::shared_ptr<d2xx::D2xxDriver> driver, Clock& clock, QObject* parent = nullptr);
    // Each instrument's own driver and clock, from the entry point's choice.
    void setInstrumentAccess(InstrumentAccess access);
    // Waits for a run still going before the device objects go.
    ~FWUpdateProcessor() override;

    int memOffset() const;
    int isProgramming() const;
    int bootloaderOffset() const;
    int applicationOffset() const;
    bool deviceDetected() const;
    QUrl firmwareDir() const;
    QString firmwareVersion() const;
    QString firmwareFile() const;
    ProgrammingMode programmingMode() const;
    QString stageText() const { return m_stageText; }
    double stageProgress() const { return m_stageProgress; }
    double runProgress() const { return m_runProgress; }
    QString lastOutcome() const { return m_lastOutcome; }
    double secondsLeft() const { return m_secondsLeft; }
    QString stageDetail() const { return m_stageDetail; }
    QVariantList diagnosisSteps() const { return m_diagnosis.steps(); }
    bool isDiagnosing() const { return m_diagnosis.isDiagnosing(); }
    QString diagnosisSummary() const { return m_diagnosis.summary(); }
    QString question() const { return m_question.text(); }
    QString bridgeSerial() const { return m_bridgeSerial; }
    QString flashPart() const { return m_flashPart; }
    int flashSize() const { return m_flashSize; }
    QStringList firmwareFiles() const { return m_directory.files(); }
    QString firmwareDirMissing() const { return m_directory.missing(); }
    QString instrumentState() const { return m_instrumentState; }
    bool flashIncomplete() const { return !m_incomplete.value(m_choice.targetSerial()).isEmpty(); }
    QString outcomeKind() const { return m_outcomeKind; }
    QString outcomeTitle() const { return m_outcomeTitle; }
    QString outcomeText() const { return m_outcomeText; }
    QStringList outcomeSteps() const { return m_outcomeSteps; }
    QVariantList instruments() const { return m_choice.shown(); }
    QString chosenSerial() const { return m_choice.chosenSerial(); }
    bool choiceNeeded() const { return m_choice.choiceNeeded(); }
    QObject* instrumentRows() const;
    InstrumentRows& rows() const { return m_batch.rows(); }
    bool programmingAll() const { return m_batch.programmingAll(); }

    void setMemOffset(int offset);
    void setFirmwareFile(const QString& file);
    void setProgrammingMode(ProgrammingMode mode);
    void setFirmwareDir(QUrl dir);
    // Where the firmware directory belongs (a local path); refreshDevices
    // looks there again while firmwareDir is empty.
    void setFirmwareHome(const QString& dir);

    Q_INVOKABLE void refreshDevices();
    Q_INVOKABLE void openFile(const QString& file);
    // Every run reads each image back after writing it: a page the flash
    // ignored (a protected block, a worn cell) fails the run. `confirmed`:
    // the user chose to write a file the window warned about (its record
    // says so). Every run leaves a record in the run history (RunHistory).
    Q_INVOKABLE void program(bool confirmed = false);
    // The same firmware into every attached instrument at once, each on a
    // thread of its own (FirmwareBatch), with a row each in instrumentRows.
    // The files are read and checked once, before any instrument is touched;
    // a risk of the bitstream itself (damaged, encrypted) is asked about once,
    // then; one that depends on an instrument's flash (another FPGA) refuses
    // that instrument alone, its reason in its row.
    Q_INVOKABLE void programAll(bool confirmed = false);
    // Works on the instrument with this serial number from now on, and looks
    // for it as Refresh Device does.
    Q_INVOKABLE void chooseInstrument(const QString& serial);
    // Checks the bridge, the wiring and the flash step by step on the worker
    // thread, as a run goes (never beside one; the controls lock meanwhile),
    // and looks for the device again afterwards. Writes nothing to the flash.
    Q_INVOKABLE void diagnose();
    // Writes the last diagnosis's report (JSON) to `path`: empty, or why not.
    Q_INVOKABLE QString saveDiagnosisReport(const QString& path);
    // Asks the run under way (every run of programAll) to stop at its next
    // transaction boundary; the flash finishes a command already sent.
    // Nothing happens when no run goes.
    Q_INVOKABLE void requestStop();
    // The user's answer to `question`: true writes the bitstream all the
    // same. false also refuses a question the run has not asked yet.
    Q_INVOKABLE void answerQuestion(bool write);
    // The same as answerQuestion(false) from any thread, without touching
    // the property: for quitting while a run may be waiting for an answer.
    void declineQuestion();
    // What program() would write now, in the order it writes it: one map per
    // image with "path", "offset" and "kind" ("bitstream" at the bitstream's
    // offset, else "application"), so the window can check the files first.
    Q_INVOKABLE QVariantList runImages() const;
    // A file URL as the local path the processor takes ("/home/u/a.bit",
    // "C:/u/a.bit", "//host/share/a.bit"); empty for anything else.
    Q_INVOKABLE QString localPath(const QUrl& url) const;
    // Before the window asks anything about the next run's files: true, with
    // a log row and the outcome, when one of them is gone or cannot be read.
    Q_INVOKABLE bool refuseUnreadableFiles();
    // The lines a saved log starts with: the loader and its version, the
    // bridge, the flash and the firmware version.
    Q_INVOKABLE QStringList logHeader() const;

    // Blocks until the run started last has ended; returns at once when none
    // is pending or active. For tools and tests that need the run's outcome.
    void waitForProgramming();

signals:
    void memOffsetChanged();
    void isProgrammingChanged(bool running);
    void deviceDetectedChanged();
    void firmwareDirChanged();
    void firmwareVersionChanged();
    void firmwareFileChanged();
    void programmingModeChanged();
    void stageTextChanged();
    void stageProgressChanged();
    void runProgressChanged();
    void lastOutcomeChanged();
    void secondsLeftChanged();
    void stageDetailChanged();
    void diagnosisStepsChanged();
    void isDiagnosingChanged();
    void questionChanged();
    void bridgeSerialChanged();
    void flashPartChanged();
    void flashSizeChanged();
    void firmwareFilesChanged();
    void firmwareDirMissingChanged();
    void instrumentStateChanged();
    void flashIncompleteChanged();
    void outcomeKindChanged();
    void outcomeTitleChanged();
    void outcomeTextChanged();
    void outcomeStepsChanged();
    void instrumentsChanged();
    void chosenSerialChanged();
    void choiceNeededChanged();
    void programmingAllChanged();

private:
    // The parts that run on the worker thread: the single run, the batch and
    // the diagnosis, through the same hand-over and on the same devices.
    friend class SingleRun;
    friend class StationBatch;
    friend class DiagnosisSession;

    // What a run works from, taken on the GUI thread when it starts, so the
    // selection may change meanwhile without reaching the run.
    struct RunRequest
    {
        bool deviceDetected = false;
        QString firmwareFile;
        QString bootloaderFile;
        ProgrammingMode mode = Full;
        bool confirmed = false;
        QString version; // the firmware directory's, for the record; empty when unknown
        std::string refusal; // why a run cannot start, when it cannot
        InstrumentList::Instrument instrument; // of a single run
        std::vector<InstrumentList::Instrument> all; // of programAll

        // What it writes, in the outcome's words: "Version 2.1", or the file's name.
        QString written() const;
    };

    // The images of a run of `run`, in order; Single mode at the current offset.
    FirmwareSet firmwareOf(const RunRequest& run) const;
    // What a run started now would work from.
    RunRequest nextRun(bool confirmed = false) const;
    // The worker for a run or a diagnosis: false (after saying so) when a
    // run is pending or active; else the last one has ended and no stop is
    // requested.
    bool claimWorker();
    // What both kinds of run take before the thread starts; false (after
    // saying so) when a run is pending or active.
    bool startRun(bool confirmed);
    // `work` on the worker thread (on this one when no thread is to be had).
    void startWorker(const std::function<void()>& work);
    // The worker's last step: the controls unlock, the devices are free.
    void releaseWorker();
    // isProgramming, from the thread that changes it.
    void setProgramming(bool running);
    // The window's port, for a detection, a batch or a diagnosis to open anew.
    void closePort();
    // The record of a run with what the window knows (program, version,
    // host, options, firmware version).
    RunRecord completed(RunRecord record, const RunRequest& run, bool all, bool riskConfirmed) const;
    // Appends to the run history; a warning row when it cannot.
    static void keep(const std::vector<RunRecord>& records);
    // The clock of the instrument with that serial number, the driver a run on it takes.
    Clock& clockFor(const std::string& serialNumber) const;
    std::shared_ptr<d2xx::D2xxDriver> driverFor(const std::string& serialNumber) const;
    QSet<uint32_t>& incompleteOffsets() { return m_incomplete[m_choice.targetSerial()]; }
    // GUI thread: the outcome panel and the instrument panel.
    void showAdvice(const OutcomeAdvice& advice);
    void showInstrument(const QString& serial, const QString& part, int size);
    void updateInstrumentState(bool running = false);
    void applyMemOffset(int offset);
    // GUI thread only.
    void showProgress(const QString& stage, double stageDone, double runDone);
    void showTimes(double secondsLeft, const QString& detail);
    void showOutcome(const QString& outcome);
    // true (after reporting it) while a run is pending or active.
    bool refuseDuringRun();

    QString m_firmwareFile;
    std::shared_ptr<d2xx::D2xxDriver> m_driver;
    Clock* m_clock;
    std::unique_ptr<TFtdi> ftdi;
    std::unique_ptr<TRom> rom;
    std::unique_ptr<TFpga> fpga;
    std::atomic<int> m_memOffset{-1};
    int portState = -1;
    ProgrammingMode m_programmingMode = Full;
    std::atomic<bool> m_isProgramming{false};
    bool m_deviceDetected = false;

    // Set before the worker thread starts, cleared by that thread
    // as its very last step: while it is set, nothing else touches the devices.
    std::atomic<bool> m_runActive{false};
    std::atomic<bool> m_stopRequest{false};
    RunRequest m_run;
    QString m_stageText;
    double m_stageProgress = 0;
    double m_runProgress = 0;
    QString m_lastOutcome;
    double m_secondsLeft = -1;
    QString m_stageDetail;

    QString m_bridgeSerial;
    QString m_flashPart;
    int m_flashSize = 0;
    QString m_instrumentState;
    // What the last detection found wrong (None: identified), and whether
    // the bridge went away in a run since.
    OutcomeAdvice::Kind m_detectionKind = OutcomeAdvice::Kind::None;
    bool m_linkLost = false;
    bool m_detectionShown = false; // the outcome panel holds a detection's advice
    // Images a failed run left partly written, per instrument (serial number).
    QHash<QString, QSet<uint32_t>> m_incomplete;
    QString m_outcomeKind;
    QString m_outcomeTitle;
    QString m_outcomeText;
    QStringList m_outcomeSteps;
    std::thread m_worker;
    InstrumentAccess m_access;

    // The parts, each with the state it shows (after the members above:
    // they work with them).
    FirmwareDirectory m_directory{*this};
    InstrumentChoice m_choice{*this};
    RiskQuestion m_question{*this, m_stopRequest};
    SingleRun m_single{*this};
    StationBatch m_batch{*this};
    DiagnosisSession m_diagnosis{*this};
};

} // namespace FwLoaderGui
