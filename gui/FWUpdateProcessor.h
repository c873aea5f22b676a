#pragma once

#include "base/Clock.h"
#include "device/d2xx/D2xxDriver.h"

#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariantList>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

class FirmwareSet;
class TFtdi;
class TRom;
class TFpga;

namespace FwLoaderGui {

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
    Q_PROPERTY(double secondsLeft READ secondsLeft NOTIFY secondsLeftChanged)
    Q_PROPERTY(QString stageDetail READ stageDetail NOTIFY stageDetailChanged)

public:
    enum ProgrammingMode { Full = 0, Single = 1 };
    Q_ENUM(ProgrammingMode)

    static const QString versionFileName;
    static const QString bootloaderFileName;
    static const QString firmwareFileName;
    static const std::string portDescB;

    // Over the driver the entry point chose, sleeping on `clock` (tests: the
    // emulated instrument's driver and its virtual clock).
    FWUpdateProcessor(std::shared_ptr<d2xx::D2xxDriver> driver, Clock& clock, QObject* parent = nullptr);
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

    void setMemOffset(int offset);
    void setFirmwareFile(const QString& file);
    void setProgrammingMode(ProgrammingMode mode);
    void setFirmwareDir(QUrl dir);

    Q_INVOKABLE void refreshDevices();
    Q_INVOKABLE void openFile(const QString& file);
    Q_INVOKABLE void program();
    // Asks the run under way to stop at its next transaction boundary; the
    // flash finishes a command already sent. Nothing happens when no run goes.
    Q_INVOKABLE void requestStop();
    // What program() would write now, in the order it writes it: one map per
    // image with "path", "offset" and "kind" ("bitstream" at the bitstream's
    // offset, else "application"), so the window can check the files first.
    Q_INVOKABLE QVariantList runImages() const;
    // A file URL as the local path the processor takes ("/home/u/a.bit",
    // "C:/u/a.bit", "//host/share/a.bit"); empty for anything else.
    Q_INVOKABLE QString localPath(const QUrl& url) const;

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

private:
    // What a run works from, taken on the GUI thread when it starts, so the
    // selection may change meanwhile without reaching the run.
    struct RunRequest
    {
        bool deviceDetected = false;
        QString firmwareFile;
        QString bootloaderFile;
        ProgrammingMode mode = Full;
    };

    bool readVersionFile();
    void refreshFirmware();
    // The images of a run of `run`, in order; Single mode at the current offset.
    FirmwareSet firmwareOf(const RunRequest& run) const;
    void doProgramming();
    bool runSteps(const RunRequest& run);
    void applyMemOffset(int offset);
    // GUI thread only.
    void showProgress(const QString& stage, double stageDone, double runDone);
    void showOutcome(const QString& outcome);
    // true (after reporting it) while a run is pending or active.
    bool refuseDuringRun();

    QString m_firmwareFile;
    QString m_bootloaderFile;
    QString m_firmwareVersion;
    std::unique_ptr<TFtdi> ftdi;
    std::unique_ptr<TRom> rom;
    std::unique_ptr<TFpga> fpga;
    QUrl m_firmwareDir;
    std::atomic<int> m_memOffset{-1};
    int portState = -1;
    ProgrammingMode m_programmingMode = Full;
    std::atomic<bool> m_isProgramming{false};
    bool m_deviceDetected = false;

    // Set by program() before the run's thread starts, cleared by that thread
    // as its very last step: while it is set, nothing else touches the devices.
    std::atomic<bool> m_runActive{false};
    std::atomic<bool> m_stopRequest{false};
    RunRequest m_run;
    QString m_stageText;
    double m_stageProgress = 0;
    double m_runProgress = 0;
    QString m_lastOutcome;
    double m_secondsLeft = 0;
    QString m_stageDetail;
    std::thread m_worker;
};

} // namespace FwLoaderGui
