#include "gui/FWUpdateProcessor.h"

#include "base/HexText.h"
#include "base/ProgressReporter.h"
#include "device/FirmwareRun.h"
#include "device/FirmwareSet.h"
#include "device/FlashChip.h"
#include "device/TFpga.h"
#include "device/TFtdi.h"
#include "device/TRom.h"
#include "device/WholeFile.h"
#include "gui/InstrumentRows.h"
#include "gui/ProcessorShared.h"
#include "record/RunHistory.h"
#include "record/RunRecord.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QtQml/qqml.h>

#include <cstdint>
#include <system_error>

namespace FwLoaderGui {

const QString FWUpdateProcessor::versionFileName = QString::fromLatin1(FirmwareSet::versionFileName);
const QString FWUpdateProcessor::bootloaderFileName = QString::fromLatin1(FirmwareSet::bitstreamFileName);
const QString FWUpdateProcessor::firmwareFileName = QString::fromLatin1(FirmwareSet::applicationFileName);
const std::string FWUpdateProcessor::portDescB = FirmwareSet::portDescription;

namespace {

const char kDeviceNotFound[] = "Device not found. Please check USB cable connection and click 'Refresh Device'.\n";
const char kAlreadyRunning[] = "Programming is already in progress.\n";

} // namespace

FWUpdateProcessor::FWUpdateProcessor(std::shared_ptr<d2xx::D2xxDriver> driver, Clock& clock, QObject* parent)
    : QObject(parent)
    , m_driver(driver)
    , m_clock(&clock)
    , ftdi(std::make_unique<TFtdi>(std::move(driver), clock))
    , rom(std::make_unique<TRom>(ftdi.get()))
    , fpga(std::make_unique<TFpga>(ftdi.get()))
{
    ftdi->SetStopRequest(&m_stopRequest);
    qmlRegisterUncreatableType<FWUpdateProcessor>("LoaderGUI", 1, 0, "FWUpdateProcessor",
                                                  QStringLiteral("FWUpdateProcessor"));
}

FWUpdateProcessor::~FWUpdateProcessor()
{
    // A run still going uses the device objects and reports to the log:
    // both must outlive it. One waiting for an answer gets a "no".
    declineQuestion();
    waitForProgramming();
}

void FWUpdateProcessor::setInstrumentAccess(InstrumentAccess access)
{
    m_access = std::move(access);
}

QObject* FWUpdateProcessor::instrumentRows() const
{
    return &m_batch.rows();
}

Clock& FWUpdateProcessor::clockFor(const std::string& serialNumber) const
{
    return m_access.clockFor ? m_access.clockFor(serialNumber) : *m_clock;
}

std::shared_ptr<d2xx::D2xxDriver> FWUpdateProcessor::driverFor(const std::string& serialNumber) const
{
    return m_access.driverFor ? m_access.driverFor(serialNumber) : m_driver;
}

int FWUpdateProcessor::memOffset() const
{
    return m_memOffset.load();
}

int FWUpdateProcessor::isProgramming() const
{
    return m_isProgramming.load() ? 1 : 0;
}

int FWUpdateProcessor::bootloaderOffset() const
{
    return static_cast<int>(FirmwareSet::bitstreamOffset);
}

int FWUpdateProcessor::applicationOffset() const
{
    return static_cast<int>(FirmwareSet::applicationOffset);
}

bool FWUpdateProcessor::deviceDetected() const
{
    return m_deviceDetected;
}

QUrl FWUpdateProcessor::firmwareDir() const
{
    return m_directory.dir();
}

QString FWUpdateProcessor::firmwareVersion() const
{
    return m_directory.version();
}

QString FWUpdateProcessor::firmwareFile() const
{
    return m_firmwareFile;
}

FWUpdateProcessor::ProgrammingMode FWUpdateProcessor::programmingMode() const
{
    return m_programmingMode;
}

bool FWUpdateProcessor::refuseDuringRun()
{
    if (!m_runActive.load())
        return false;
    ProgressReporter::error(kAlreadyRunning);
    return true;
}

void FWUpdateProcessor::setMemOffset(int offset)
{
    if (m_memOffset.load() == offset)
        return;
    // The run sets the offset itself; the flash driver is its own meanwhile.
    if (refuseDuringRun())
        return;
    applyMemOffset(offset);
}

void FWUpdateProcessor::applyMemOffset(int offset)
{
    if (m_memOffset.exchange(offset) == offset)
        return;
    const auto address = static_cast<uint32_t>(offset);
    rom->SetOffset(address);
    ProgressReporter::info("Offset: " + hexText(address) + "\n");
    emit memOffsetChanged();
}

void FWUpdateProcessor::setFirmwareFile(const QString& file)
{
    if (changeTo(m_firmwareFile, file))
        emit firmwareFileChanged();
}

void FWUpdateProcessor::setProgrammingMode(ProgrammingMode mode)
{
    if (!changeTo(m_programmingMode, mode))
        return;
    emit programmingModeChanged();
    m_directory.refresh();
}

void FWUpdateProcessor::setFirmwareDir(QUrl dir)
{
    m_directory.setDir(dir);
}

void FWUpdateProcessor::setFirmwareHome(const QString& dir)
{
    m_directory.setHome(dir);
}

QVariantList FWUpdateProcessor::runImages() const
{
    const FirmwareSet next = firmwareOf(nextRun());
    QVariantList images;
    for (const FirmwareSet::Image& image : next.images()) {
        const bool bitstream = image.offset == FirmwareSet::bitstreamOffset;
        images.append(QVariantMap{{QStringLiteral("path"), QString::fromStdString(image.path)},
                                  {QStringLiteral("offset"), static_cast<int>(image.offset)},
                                  {QStringLiteral("kind"), bitstream ? QStringLiteral("bitstream")
                                                                     : QStringLiteral("application")}});
    }
    return images;
}

QString FWUpdateProcessor::localPath(const QUrl& url) const
{
    return url.toLocalFile();
}

void FWUpdateProcessor::chooseInstrument(const QString& serial)
{
    if (refuseDuringRun())
        return;
    m_choice.pick(serial);
    refreshDevices();
}

void FWUpdateProcessor::refreshDevices()
{
    if (refuseDuringRun())
        return;
    // A stop asked for after the last run ended must not cut discovery short.
    m_stopRequest.store(false);
    m_directory.rescan();
    const bool wasIncomplete = flashIncomplete();
    m_deviceDetected = false;
    closePort();
    const InstrumentList::Instrument* chosen = m_choice.relist(*ftdi);
    const InstrumentList& attached = m_choice.list();

    OutcomeAdvice advice;
    if (m_choice.choiceNeeded()) {
        // Nothing is opened: which one is the user's to say. (A diagnosis
        // meanwhile takes the first, saying so, on that one's clock.)
        ftdi->SetPortDescription(portDescB);
        ftdi->SetClock(clockFor(attached.all().front().serialNumber));
        ProgressReporter::info(std::to_string(attached.size()) + " instruments are attached: " +
                               attached.describe() +
                               ". Choose one by its serial number, or load the firmware on all of them.\n");
        showInstrument(QString(), QString(), 0);
    } else {
        ftdi->SetClock(clockFor(m_choice.target().serialNumber));
        if (chosen && attached.size() > 1) {
            // One of several, by its own name, as pravel-flash --serial opens it.
            chosen->choosePort(*ftdi);
            portState = ftdi->PortOpen();
        } else {
            portState = ftdi->PortOpen(portDescB);
        }
        if (portState > 0)
            m_deviceDetected = rom->CheckMemory() != 0;
        if (!m_deviceDetected)
            ProgressReporter::error(kDeviceNotFound);
        // The cause, last, where the bridge went away while it was being set up or read.
        if (ftdi->LinkLost())
            ProgressReporter::error(TFtdi::linkLostMessage);

        OutcomeAdvice::Detection facts;
        facts.listed = chosen != nullptr;
        facts.opened = portState > 0;
        facts.linkLost = ftdi->LinkLost();
        facts.identificationByte = facts.opened ? rom->IdentificationByte() : -1;
        facts.identified = m_deviceDetected;
        facts.flashBusy = facts.opened && rom->LastIdentifyResult() == TRom::IdentifyResult::StillBusy;
        facts.incomplete = flashIncomplete();
        advice = OutcomeAdvice::forDetection(facts);
        const FlashChip* chip = m_deviceDetected ? rom->Chip() : nullptr;
        showInstrument(chosen ? fromText(chosen->channelSerialNumber) : QString(),
                       chip ? QString::fromLatin1(chip->name) : QString(), chip ? chip->memorySize : 0);
    }
    const bool found = advice.kind == OutcomeAdvice::Kind::None || advice.kind == OutcomeAdvice::Kind::Incomplete;
    m_detectionKind = found ? OutcomeAdvice::Kind::None : advice.kind;
    m_linkLost = false;
    // A failed detection says so; a successful one replaces only what a
    // failed one said: a run's outcome stays until the next run.
    if (!found || m_detectionShown)
        showAdvice(advice);
    m_detectionShown = !found;
    if (flashIncomplete() != wasIncomplete)
        emit flashIncompleteChanged();
    updateInstrumentState();
    emit deviceDetectedChanged();
}

void FWUpdateProcessor::openFile(const QString& file)
{
    if (refuseDuringRun())
        return;
    if (QFile::exists(file) && rom->FileOpen(text(file))) {
        setFirmwareFile(file);
        return;
    }
    setFirmwareFile(QString());
    ProgressReporter::error("File does not exist: " + text(file) + "\n");
}

bool FWUpdateProcessor::claimWorker()
{
    bool idle = false;
    if (!m_runActive.compare_exchange_strong(idle, true)) {
        ProgressReporter::error(kAlreadyRunning);
        return false;
    }
    // The previous run cleared the flag as its last step: this returns at once.
    if (m_worker.joinable())
        m_worker.join();
    m_stopRequest.store(false);
    return true;
}

void FWUpdateProcessor::startWorker(const std::function<void()>& work)
{
    try {
        m_worker = std::thread(work);
    } catch (const std::system_error&) {
        // No thread to be had: the work still happens, only the window waits.
        work();
    }
}

void FWUpdateProcessor::setProgramming(bool running)
{
    m_isProgramming.store(running);
    emit isProgrammingChanged(running);
}

void FWUpdateProcessor::releaseWorker()
{
    setProgramming(false);
    m_runActive.store(false);
}

void FWUpdateProcessor::closePort()
{
    if (portState > 0)
        ftdi->PortClose();
    portState = -1;
}

bool FWUpdateProcessor::startRun(bool confirmed)
{
    if (!claimWorker())
        return false;
    m_question.reset();
    showOutcome(QString());
    showProgress(QString(), 0, 0);
    showTimes(-1, QString());
    showAdvice(OutcomeAdvice());
    m_detectionShown = false;
    updateInstrumentState(true);
    m_run = nextRun(confirmed);
    return true;
}

FWUpdateProcessor::RunRequest FWUpdateProcessor::nextRun(bool confirmed) const
{
    RunRequest run;
    run.deviceDetected = m_deviceDetected;
    run.firmwareFile = m_firmwareFile;
    run.bootloaderFile = m_directory.bootloaderFile();
    run.mode = m_programmingMode;
    run.confirmed = confirmed;
    if (m_directory.version() != QLatin1String("Unknown"))
        run.version = m_directory.version();
    run.instrument = m_choice.target();
    const InstrumentList& attached = m_choice.list();
    run.all = attached.all();
    if (m_choice.choiceNeeded())
        run.refusal = "Aborting programming: " + std::to_string(attached.size()) +
                      " instruments are attached and none is chosen (" + attached.describe() +
                      "). Choose one by its serial number, or load the firmware on all of them.\n";
    return run;
}

void FWUpdateProcessor::program(bool confirmed)
{
    if (!startRun(confirmed))
        return;
    // The table of the last run on every instrument goes with the next run.
    m_batch.rows().reset({});
    startWorker([this] { m_single.run(); });
}

void FWUpdateProcessor::programAll(bool confirmed)
{
    m_batch.start(confirmed);
}

void FWUpdateProcessor::waitForProgramming()
{
    if (m_worker.joinable() && m_worker.get_id() != std::this_thread::get_id())
        m_worker.join();
}

void FWUpdateProcessor::requestStop()
{
    if (!m_runActive.load())
        return;
    m_stopRequest.store(true);
    m_question.wake();
}

void FWUpdateProcessor::answerQuestion(bool write)
{
    m_question.answer(write);
}

void FWUpdateProcessor::declineQuestion()
{
    m_question.decline();
}

void FWUpdateProcessor::showProgress(const QString& stage, double stageDone, double runDone)
{
    if (changeTo(m_stageText, stage))
        emit stageTextChanged();
    if (changeTo(m_stageProgress, stageDone))
        emit stageProgressChanged();
    if (changeTo(m_runProgress, runDone))
        emit runProgressChanged();
}

void FWUpdateProcessor::showTimes(double secondsLeft, const QString& detail)
{
    if (changeTo(m_secondsLeft, secondsLeft))
        emit secondsLeftChanged();
    if (changeTo(m_stageDetail, detail))
        emit stageDetailChanged();
}

void FWUpdateProcessor::showOutcome(const QString& outcome)
{
    if (changeTo(m_lastOutcome, outcome))
        emit lastOutcomeChanged();
}

QString FWUpdateProcessor::RunRequest::written() const
{
    return mode == Full ? QStringLiteral("Version %1").arg(version.isEmpty() ? QStringLiteral("Unknown") : version)
                        : QFileInfo(firmwareFile).fileName();
}

FirmwareSet FWUpdateProcessor::firmwareOf(const RunRequest& run) const
{
    if (run.mode == Full)
        return FirmwareSet::basic(text(run.firmwareFile), text(run.bootloaderFile));
    return FirmwareSet::single(text(run.firmwareFile), static_cast<uint32_t>(m_memOffset.load()));
}

RunRecord FWUpdateProcessor::completed(RunRecord record, const RunRequest& run, bool all, bool riskConfirmed) const
{
    record.program = kProgramName;
    record.version = PRAVEL_VERSION;
    record.host = RunRecord::hostName();
    record.firmwareVersion = run.mode == Full ? text(run.version) : std::string();
    const auto flag = [](bool value) { return std::string(value ? "true" : "false"); };
    // As pravel-flash names them; "force": a file the window warned about
    // was written as the user confirmed.
    record.options = {{"command", "write"},
                      {"verify", "true"},
                      {"changed_only", "false"},
                      {"force", flag(run.confirmed || riskConfirmed)},
                      {"device", m_access.device.empty() ? "default" : m_access.device},
                      {"tab", run.mode == Full ? "basic" : "advanced"},
                      {"all", flag(all)}};
    return record;
}

void FWUpdateProcessor::keep(const std::vector<RunRecord>& records)
{
    const std::string warning = RunHistory().appendAll(records);
    if (!warning.empty())
        ProgressReporter::error(warning);
}

void FWUpdateProcessor::diagnose()
{
    m_diagnosis.start();
}

QString FWUpdateProcessor::saveDiagnosisReport(const QString& path)
{
    return m_diagnosis.save(path);
}

void FWUpdateProcessor::showAdvice(const OutcomeAdvice& advice)
{
    if (changeTo(m_outcomeKind, OutcomeAdvice::kindName(advice.kind)))
        emit outcomeKindChanged();
    if (changeTo(m_outcomeTitle, advice.title))
        emit outcomeTitleChanged();
    if (changeTo(m_outcomeText, advice.text))
        emit outcomeTextChanged();
    if (changeTo(m_outcomeSteps, advice.steps))
        emit outcomeStepsChanged();
}

void FWUpdateProcessor::showInstrument(const QString& serial, const QString& part, int size)
{
    if (changeTo(m_bridgeSerial, serial))
        emit bridgeSerialChanged();
    if (changeTo(m_flashPart, part))
        emit flashPartChanged();
    if (changeTo(m_flashSize, size))
        emit flashSizeChanged();
}

void FWUpdateProcessor::updateInstrumentState(bool running)
{
    using Kind = OutcomeAdvice::Kind;
    QString state;
    if (running)
        state = QStringLiteral("Programming: do not unplug");
    else if (m_choice.choiceNeeded())
        state = QStringLiteral("%1 attached: choose one").arg(m_choice.list().size());
    else if (!m_deviceDetected && m_detectionKind == Kind::NoBridge)
        state = QStringLiteral("Not found");
    else if (!m_deviceDetected && m_detectionKind == Kind::FlashNotIdentified)
        state = QStringLiteral("The flash does not identify itself");
    else if (!m_deviceDetected && m_detectionKind == Kind::FlashBusy)
        state = QStringLiteral("The flash is still busy");
    else if (!m_deviceDetected && m_detectionKind == Kind::BridgeLost)
        state = QStringLiteral("Not answering over USB");
    else if (!m_deviceDetected)
        state = QString();
    else if (m_linkLost)
        state = QStringLiteral("Connection lost");
    else if (flashIncomplete())
        state = QStringLiteral("Will not start until a run completes");
    else
        state = QStringLiteral("Ready");
    if (changeTo(m_instrumentState, state))
        emit instrumentStateChanged();
}

bool FWUpdateProcessor::refuseUnreadableFiles()
{
    if (refuseDuringRun())
        return true;
    const FirmwareSet next = firmwareOf(nextRun());
    for (const FirmwareSet::Image& image : next.images()) {
        if (image.path.empty())
            continue;
        const QString path = QString::fromStdString(image.path);
        QString problem;
        if (!QFileInfo::exists(path))
            problem = QStringLiteral("%1 is no longer there.");
        else if (WholeFile file; file.open(image.path) != WholeFile::Ok)
            problem = QStringLiteral("%1 cannot be read.");
        if (problem.isEmpty())
            continue;
        ProgressReporter::error("Not loaded: " + text(problem.arg(path)) + " Nothing was written.\n");
        OutcomeAdvice::Run facts;
        facts.outcome.failedStage = FirmwareRun::Stage::Load;
        facts.failedFile = QFileInfo(path).fileName();
        facts.fileProblem = problem.arg(facts.failedFile);
        facts.incomplete = flashIncomplete();
        showOutcome(QStringLiteral("failed"));
        showAdvice(OutcomeAdvice::forRun(facts));
        m_detectionShown = false;
        return true;
    }
    return false;
}

QStringList FWUpdateProcessor::logHeader() const
{
    const QString version = QCoreApplication::applicationVersion();
    const QString none = QStringLiteral("none found");
    return {QCoreApplication::applicationName() + (version.isEmpty() ? QString() : QLatin1Char(' ') + version),
            QStringLiteral("Bridge serial: ") + (m_bridgeSerial.isEmpty() ? none : m_bridgeSerial),
            QStringLiteral("Flash: ") + (m_flashPart.isEmpty() ? QStringLiteral("not identified")
                                                               : QStringLiteral("%1, %2 MiB").arg(m_flashPart).arg(m_flashSize / 0x100000)),
            QStringLiteral("Firmware version: ") + (firmwareVersion().isEmpty() ? none : firmwareVersion())};
}

} // namespace FwLoaderGui
