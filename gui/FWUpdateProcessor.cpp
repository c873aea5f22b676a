#include "gui/FWUpdateProcessor.h"

#include "base/HexText.h"
#include "base/ProgressReporter.h"
#include "device/Diagnosis.h"
#include "device/FirmwareRun.h"
#include "device/FirmwareSet.h"
#include "device/FlashChip.h"
#include "device/TFpga.h"
#include "device/TFtdi.h"
#include "device/TRom.h"
#include "device/WholeFile.h"
#include "gui/InstrumentRows.h"
#include "record/RunHistory.h"
#include "record/RunRecord.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QtQml/qqml.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace FwLoaderGui {

const QString FWUpdateProcessor::versionFileName = QString::fromLatin1(FirmwareSet::versionFileName);
const QString FWUpdateProcessor::bootloaderFileName = QString::fromLatin1(FirmwareSet::bitstreamFileName);
const QString FWUpdateProcessor::firmwareFileName = QString::fromLatin1(FirmwareSet::applicationFileName);
const std::string FWUpdateProcessor::portDescB = FirmwareSet::portDescription;

namespace {

const char kDeviceNotFound[] = "Device not found. Please check USB cable connection and click 'Refresh Devices'.\n";
const char kAborting[] = "Aborting programming. Device not ready or file not found.\n";
const char kAlreadyRunning[] = "Programming is already in progress.\n";
const char kProgramName[] = "pravel-fw-loader";
const char kNotRecorded[] = "Warning: the run was not recorded in the run history: ";
// How far progress moves before the window hears of it: a page at a time
// would flood the GUI thread.
constexpr double kProgressStep = 0.005;
// Differing bytes listed in the log per image; the verdict counts them all.
constexpr uint64_t kShownMismatches = 20;

// "Waiting for the flash to finish erasing: 12 s", or nothing.
QString detailOf(const FirmwareRun::Progress& progress)
{
    if (progress.waiting.empty())
        return QString();
    return QString::fromStdString(progress.waiting) +
           QStringLiteral(": %1 s").arg(static_cast<long long>(std::floor(progress.waitedSeconds)));
}

// The property writers' comparison: true when `member` took a new value.
template <typename T>
bool changeTo(T& member, const T& value)
{
    if (member == value)
        return false;
    member = value;
    return true;
}


// Paths go into the log as UTF-8: that is how the log decodes every report,
// so a name with non-ASCII characters reads the same as on disk.
std::string text(const QString& s)
{
    return s.toUtf8().toStdString();
}

QString fromText(const std::string& s)
{
    return QString::fromUtf8(s.data(), static_cast<int>(s.size()));
}

// The channels of a listing as the driver lists them, for InstrumentList.
std::vector<d2xx::FT_DEVICE_LIST_INFO_NODE> nodesOf(const TFtdi::Listing& listing)
{
    std::vector<d2xx::FT_DEVICE_LIST_INFO_NODE> nodes;
    for (const TFtdi::Channel& channel : listing.channels) {
        d2xx::FT_DEVICE_LIST_INFO_NODE node{};
        node.Flags = channel.flags;
        node.Type = channel.type;
        node.ID = channel.id;
        node.LocId = channel.locId;
        std::strncpy(node.SerialNumber, channel.serialNumber.c_str(), sizeof node.SerialNumber - 1);
        std::strncpy(node.Description, channel.description.c_str(), sizeof node.Description - 1);
        nodes.push_back(node);
    }
    return nodes;
}

// A failure after the erase leaves the image partly written, whatever else
// is known about it.
bool touchedFlash(const FirmwareRun::Outcome& outcome)
{
    return outcome.flashTouched || outcome.failedStage == FirmwareRun::Stage::Program ||
           outcome.failedStage == FirmwareRun::Stage::Verify;
}

// The instrument's name in its lines and rows.
std::string nameOf(const InstrumentList::Instrument& instrument)
{
    return instrument.serialNumber.empty() ? hexText(instrument.location) : instrument.serialNumber;
}

} // namespace

FWUpdateProcessor::FWUpdateProcessor(std::shared_ptr<d2xx::D2xxDriver> driver, Clock& clock, QObject* parent)
    : QObject(parent)
    , m_driver(driver)
    , m_clock(&clock)
    , ftdi(std::make_unique<TFtdi>(std::move(driver), clock))
    , rom(std::make_unique<TRom>(ftdi.get()))
    , fpga(std::make_unique<TFpga>(ftdi.get()))
{
    m_rows = new InstrumentRows(this);
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
    return m_rows;
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
    return m_firmwareDir;
}

QString FWUpdateProcessor::firmwareVersion() const
{
    return m_firmwareVersion;
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
    refreshFirmware();
}

void FWUpdateProcessor::setFirmwareDir(QUrl dir)
{
    if (m_firmwareDir == dir)
        return;
    m_firmwareDir = dir;
    emit firmwareDirChanged();
    if (readVersionFile())
        refreshFirmware();
    updateFirmwareFiles();
}

void FWUpdateProcessor::setFirmwareHome(const QString& dir)
{
    m_firmwareHome = dir;
    updateFirmwareFiles();
}

void FWUpdateProcessor::rescanFirmware()
{
    if (m_firmwareDir.isEmpty()) {
        // Start-up found nothing there; it may have been put in place since.
        if (!m_firmwareHome.isEmpty() && QFileInfo::exists(m_firmwareHome))
            setFirmwareDir(QUrl::fromLocalFile(QDir::toNativeSeparators(m_firmwareHome)));
    } else if (readVersionFile()) {
        refreshFirmware();
    }
    updateFirmwareFiles();
}

void FWUpdateProcessor::updateFirmwareFiles()
{
    const QString dir = m_firmwareDir.toLocalFile();
    QStringList files;
    if (!dir.isEmpty())
        for (const QString& name : {firmwareFileName, bootloaderFileName})
            if (QFileInfo(dir + QLatin1Char('/') + name).isFile())
                files << name;
    if (changeTo(m_firmwareFiles, files))
        emit firmwareFilesChanged();
    QString missing;
    if (dir.isEmpty() ? !m_firmwareHome.isEmpty() : !QFileInfo::exists(dir))
        missing = QDir::toNativeSeparators(dir.isEmpty() ? m_firmwareHome : dir);
    if (changeTo(m_firmwareDirMissing, missing))
        emit firmwareDirMissingChanged();
}

bool FWUpdateProcessor::readVersionFile()
{
    std::string version;
    // A URL that names no local directory must not turn into "/version.txt".
    const QString dir = m_firmwareDir.toLocalFile();
    const bool opened = !dir.isEmpty() && FirmwareSet::readVersion(text(dir), version);
    m_firmwareVersion = QString::fromStdString(version);
    if (m_firmwareVersion.isEmpty())
        m_firmwareVersion = QStringLiteral("Unknown");
    emit firmwareVersionChanged();
    return opened;
}

void FWUpdateProcessor::refreshFirmware()
{
    if (m_programmingMode == Single) {
        m_bootloaderFile.clear();
        setFirmwareFile(QString());
        return;
    }

    const QString dir = m_firmwareDir.toLocalFile();
    if (dir.isEmpty() || !QFileInfo::exists(dir))
        return;
    const QString bitstream = QDir::cleanPath(dir + QLatin1Char('/') + bootloaderFileName);
    if (QFile::exists(bitstream))
        m_bootloaderFile = bitstream;
    const QString application = QDir::cleanPath(dir + QLatin1Char('/') + firmwareFileName);
    if (QFile::exists(application))
        setFirmwareFile(application);
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

const InstrumentList::Instrument* FWUpdateProcessor::target() const
{
    if (!m_pick.isEmpty())
        if (const InstrumentList::Instrument* picked = m_instrumentList.bySerialNumber(text(m_pick)))
            return picked;
    // Only one: that one, as ever; of several, never silently the first.
    return m_instrumentList.size() == 1 ? &m_instrumentList.all().front() : nullptr;
}

void FWUpdateProcessor::updateInstruments(const InstrumentList& found)
{
    m_instrumentList = found;
    QVariantList shown;
    for (const InstrumentList::Instrument& instrument : found.all())
        shown.append(QVariantMap{{QStringLiteral("serial"), fromText(nameOf(instrument))},
                                 {QStringLiteral("location"), fromText(hexText(instrument.location))},
                                 {QStringLiteral("inUse"), instrument.inUse}});
    if (changeTo(m_instruments, shown))
        emit instrumentsChanged();
}

void FWUpdateProcessor::chooseInstrument(const QString& serial)
{
    if (refuseDuringRun())
        return;
    m_pick = serial;
    refreshDevices();
}

void FWUpdateProcessor::refreshDevices()
{
    if (refuseDuringRun())
        return;
    // A stop asked for after the last run ended must not cut discovery short.
    m_stopRequest.store(false);
    rescanFirmware();
    const bool wasIncomplete = flashIncomplete();
    m_deviceDetected = false;
    if (portState > 0)
        ftdi->PortClose();
    portState = -1;
    // The listing goes into the log at the first refresh and whenever the
    // bus changed, not at every click.
    const TFtdi::Listing listing = ftdi->ListChannels();
    if (!m_listingReported || listing != m_listing) {
        TFtdi::ReportChannels(listing);
        m_listing = listing;
        m_listingReported = true;
    }
    updateInstruments(InstrumentList(nodesOf(listing), portDescB));
    const InstrumentList::Instrument* chosen = target();
    const bool choiceNeeded = m_instrumentList.size() > 1 && !chosen;
    if (chosen) {
        m_target = *chosen;
        m_targetSerial = fromText(chosen->serialNumber);
    } else if (choiceNeeded) {
        m_target = {};
        m_targetSerial.clear();
    } // else: none there; what the panels know of the last one stays
    if (changeTo(m_chosenSerial, chosen ? fromText(nameOf(*chosen)) : QString()))
        emit chosenSerialChanged();
    if (changeTo(m_choiceNeeded, choiceNeeded))
        emit choiceNeededChanged();

    OutcomeAdvice advice;
    if (choiceNeeded) {
        // Nothing is opened: which one is the user's to say. (A diagnosis
        // meanwhile takes the first, saying so, on that one's clock.)
        ftdi->SetPortDescription(portDescB);
        ftdi->SetClock(clockFor(m_instrumentList.all().front().serialNumber));
        ProgressReporter::info(std::to_string(m_instrumentList.size()) + " instruments are attached: " +
                               m_instrumentList.describe() +
                               ". Choose one by its serial number, or load the firmware on all of them.\n");
        m_detectionKind = OutcomeAdvice::Kind::None;
        m_linkLost = false;
        showInstrument(QString(), QString(), 0);
    } else {
        ftdi->SetClock(clockFor(m_target.serialNumber));
        if (chosen && m_instrumentList.size() > 1) {
            // One of several, by its own name, as pravel-flash --serial opens it.
            if (!chosen->channelSerialNumber.empty())
                ftdi->SetPortSerialNumber(chosen->channelSerialNumber);
            else
                ftdi->SetPortLocation(chosen->location);
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
        const bool found = advice.kind == OutcomeAdvice::Kind::None || advice.kind == OutcomeAdvice::Kind::Incomplete;
        m_detectionKind = found ? OutcomeAdvice::Kind::None : advice.kind;
        m_linkLost = false;
        const FlashChip* chip = m_deviceDetected ? rom->Chip() : nullptr;
        showInstrument(chosen ? fromText(chosen->channelSerialNumber) : QString(),
                       chip ? QString::fromLatin1(chip->name) : QString(), chip ? chip->memorySize : 0);
    }
    const bool found = advice.kind == OutcomeAdvice::Kind::None || advice.kind == OutcomeAdvice::Kind::Incomplete;
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

bool FWUpdateProcessor::startRun(bool confirmed)
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
    {
        std::lock_guard<std::mutex> lock(m_questionMutex);
        m_answer = Answer::None;
    }
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
    run.bootloaderFile = m_bootloaderFile;
    run.mode = m_programmingMode;
    run.confirmed = confirmed;
    if (m_firmwareVersion != QLatin1String("Unknown"))
        run.version = m_firmwareVersion;
    run.instrument = m_target;
    run.all = m_instrumentList.all();
    if (m_choiceNeeded)
        run.refusal = "Aborting programming: " + std::to_string(m_instrumentList.size()) +
                      " instruments are attached and none is chosen (" + m_instrumentList.describe() +
                      "). Choose one by its serial number, or load the firmware on all of them.\n";
    return run;
}

void FWUpdateProcessor::program(bool confirmed)
{
    if (!startRun(confirmed))
        return;
    // The table of the last run on every instrument goes with the next run.
    m_rows->reset({});
    try {
        m_worker = std::thread(&FWUpdateProcessor::doProgramming, this);
    } catch (const std::system_error&) {
        // No thread to be had: the run still happens, only the window waits.
        doProgramming();
    }
}

void FWUpdateProcessor::programAll(bool confirmed)
{
    if (!startRun(confirmed))
        return;
    QStringList serials;
    for (const InstrumentList::Instrument& instrument : m_run.all)
        serials << fromText(nameOf(instrument));
    m_rows->reset(serials);
    if (changeTo(m_programmingAll, true))
        emit programmingAllChanged();
    try {
        m_worker = std::thread(&FWUpdateProcessor::doBatch, this);
    } catch (const std::system_error&) {
        doBatch();
    }
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
    { // the run may be waiting for an answer: it checks the request under the lock
        std::lock_guard<std::mutex> lock(m_questionMutex);
    }
    m_questionAnswered.notify_all();
}

void FWUpdateProcessor::answerQuestion(bool write)
{
    {
        std::lock_guard<std::mutex> lock(m_questionMutex);
        // A "yes" answers only the question asked now, never one to come.
        if (write && !m_asking)
            return;
        m_answer = write ? Answer::Write : Answer::Decline;
    }
    m_questionAnswered.notify_all();
    showQuestion(QString());
}

void FWUpdateProcessor::declineQuestion()
{
    {
        std::lock_guard<std::mutex> lock(m_questionMutex);
        m_answer = Answer::Decline;
    }
    m_questionAnswered.notify_all();
}

void FWUpdateProcessor::showQuestion(const QString& text)
{
    if (changeTo(m_question, text))
        emit questionChanged();
}

std::string FWUpdateProcessor::askAboutRisk(const std::string& path, const std::string& risk)
{
    std::unique_lock<std::mutex> lock(m_questionMutex);
    if (m_answer == Answer::None && !m_stopRequest.load()) {
        m_asking = true;
        // The text is made on the GUI thread: a string shared with this
        // thread would be released here while the window still replaces it.
        QMetaObject::invokeMethod(this, [this, risk] { showQuestion(QString::fromStdString(risk)); }, Qt::QueuedConnection);
        m_questionAnswered.wait_for(lock, std::chrono::minutes(questionMinutes),
                                    [this] { return m_answer != Answer::None || m_stopRequest.load(); });
        m_asking = false;
        QMetaObject::invokeMethod(this, [this] { showQuestion(QString()); }, Qt::QueuedConnection);
    }
    const std::string refused = "Nothing was written: " + path;
    if (m_answer == Answer::Write)
        return {};
    if (m_answer == Answer::Decline)
        return refused + " was not confirmed\n";
    if (m_stopRequest.load())
        return refused + ": stopped on request\n";
    return refused + " was not confirmed within " + std::to_string(questionMinutes) + " minutes\n";
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

void FWUpdateProcessor::doProgramming()
{
    RunReport report;
    report.refused = !m_run.deviceDetected || m_run.firmwareFile.isEmpty();
    report.mode = m_run.mode;
    report.firmwareFile = m_run.firmwareFile;
    try {
        FirmwareSet firmware;
        report.outcome = runSteps(m_run, firmware);
        for (const FirmwareSet::Image& image : firmware.images())
            report.offsets.push_back(image.offset);
        const int failed = report.outcome.failedImage;
        if (failed >= 0 && static_cast<size_t>(failed) < firmware.images().size()) {
            const FirmwareSet::Image& image = firmware.images()[static_cast<size_t>(failed)];
            report.failedFile = QFileInfo(QString::fromStdString(image.path)).fileName();
            report.failedOffset = image.offset;
        }
    } catch (...) {
        // Out of memory while composing a message: the run ends like any
        // other failed one, idle again.
        report.outcome.ok = false;
    }
    report.linkLost = report.outcome.linkLost || ftdi->LinkLost();
    const bool ok = report.outcome.ok;
    // Queued ahead of isProgrammingChanged(false): a binding that sees the run
    // end finds its outcome already there.
    QMetaObject::invokeMethod(this, [this, ok, report = std::move(report)] {
        showProgress(QString(), ok ? 1.0 : m_stageProgress, ok ? 1.0 : m_runProgress);
        showTimes(ok ? 0.0 : -1.0, QString());
        showOutcome(ok ? QStringLiteral("complete") : QStringLiteral("failed"));
        presentRun(report);
    }, Qt::QueuedConnection);
    m_isProgramming.store(false);
    emit isProgrammingChanged(false);
    m_runActive.store(false);
}

FirmwareSet FWUpdateProcessor::firmwareOf(const RunRequest& run) const
{
    if (run.mode == Full)
        return FirmwareSet::basic(text(run.firmwareFile), text(run.bootloaderFile));
    return FirmwareSet::single(text(run.firmwareFile), static_cast<uint32_t>(m_memOffset.load()));
}

FirmwareRun::Outcome FWUpdateProcessor::runSteps(const RunRequest& run, FirmwareSet& firmware)
{
    if (!run.deviceDetected || run.firmwareFile.isEmpty()) {
        ProgressReporter::error(run.refusal.empty() ? kAborting : run.refusal);
        return {};
    }
    m_isProgramming.store(true);
    emit isProgrammingChanged(true);

    firmware = firmwareOf(run);
    FirmwareRun::Options options;
    options.setOffset = [this](uint32_t offset) { applyMemOffset(static_cast<int>(offset)); };
    options.verify = true;
    options.shownMismatches = kShownMismatches;
    FirmwareRun::Progress shown;
    QString shownDetail;
    options.progress = [this, &shown, &shownDetail](const FirmwareRun::Progress& now) {
        const QString detail = detailOf(now);
        if (now.stage == shown.stage && std::fabs(now.stageDone - shown.stageDone) < kProgressStep &&
            now.stageDone < 1.0 && detail == shownDetail && (now.secondsLeft < 0) == (shown.secondsLeft < 0))
            return;
        shown = now;
        shownDetail = detail;
        const QString stage = QString::fromStdString(now.stage);
        QMetaObject::invokeMethod(this, [this, stage, now, detail] {
            showProgress(stage, now.stageDone, now.runDone);
            showTimes(now.secondsLeft, detail);
        }, Qt::QueuedConnection);
    };
    bool riskConfirmed = false;
    options.confirmRisk = [this, &riskConfirmed](const FirmwareSet::Image& image, const std::string& risk) {
        const std::string refusal = askAboutRisk(image.path, risk);
        riskConfirmed = refusal.empty();
        return refusal;
    };
    FirmwareRun firmwareRun(*rom, firmware, options);
    FirmwareBatch::Result result;
    result.instrument = run.instrument;
    result.started = RunRecord::utcNow();
    const Clock& clock = ftdi->clock();
    const std::chrono::nanoseconds start = clock.now();
    // A run whose files could not be read touched nothing and leaves no record.
    FirmwareRun::Outcome outcome = firmwareRun.prepare();
    if (outcome.ok) {
        const std::vector<RunRecord::Image> images = firmwareRun.preparedImages();
        outcome = firmwareRun.run();
        result.flashPart = rom->Chip() ? rom->Chip()->name : "";
        result.jedecId = ftdi->LastJedecId();
        result.outcome = outcome;
        result.failedStage = FirmwareBatch::stageName(outcome.failedStage);
        result.seconds = clock.secondsSince(start);
        keep({completed(FirmwareBatch::record(images, result), run, false, riskConfirmed)});
    }
    // The cause goes last, where a technician looks first.
    if (outcome.linkLost)
        ProgressReporter::error(TFtdi::linkLostMessage);
    return outcome;
}

void FWUpdateProcessor::doBatch()
{
    const RunRequest& run = m_run;
    BatchEnd end;
    const size_t count = run.all.size();
    end.outcomes.assign(count, QStringLiteral("not started"));
    end.details.assign(count, QString());
    end.flashParts.assign(count, QString());
    end.failed = true;
    try {
        m_isProgramming.store(true);
        emit isProgrammingChanged(true);
        // Each run opens its instrument itself, the one the window had open too.
        if (portState > 0)
            ftdi->PortClose();
        portState = -1;

        const FirmwareSet set = firmwareOf(run);
        FirmwareRun::Options options;
        options.verify = true;
        options.shownMismatches = kShownMismatches;
        FirmwareBatch batch(set, options);
        OutcomeAdvice::Run notStarted; // nothing was touched
        FirmwareRun::Outcome prepared;
        std::string risk;
        std::string refusal;
        if (count == 0 || run.firmwareFile.isEmpty()) {
            ProgressReporter::error(count == 0 ? "Aborting programming: no instrument is attached.\n" : kAborting);
            notStarted.refused = true;
        } else if (!(prepared = batch.prepare()).ok) {
            // Every file is read and checked before any instrument is touched.
            notStarted.outcome = prepared;
            const int failed = prepared.failedImage;
            if (failed >= 0 && static_cast<size_t>(failed) < set.images().size())
                notStarted.failedFile = QFileInfo(fromText(set.images()[static_cast<size_t>(failed)].path)).fileName();
        } else if (!(risk = batch.fileRisk()).empty()) {
            // A risk of the bitstream itself is the same for every instrument: one question.
            ProgressReporter::error("Warning: " + risk + "\n");
            const auto bitstream = std::find_if(set.images().begin(), set.images().end(), [](const FirmwareSet::Image& image) {
                return image.offset == FirmwareSet::bitstreamOffset;
            });
            refusal = askAboutRisk(bitstream->path, risk + " It would be written into all " + std::to_string(count) +
                                                        " instruments.");
            if (!refusal.empty()) {
                ProgressReporter::error(refusal);
                notStarted.outcome.failedStage = FirmwareRun::Stage::Load;
                notStarted.outcome.stopped = m_stopRequest.load();
                notStarted.failedFile = QFileInfo(fromText(bitstream->path)).fileName();
                notStarted.fileProblem = QStringLiteral("%1 was not confirmed.").arg(notStarted.failedFile);
            }
        }
        if (notStarted.refused || !prepared.ok || !refusal.empty()) {
            end.advice = OutcomeAdvice::forRun(notStarted);
            end.details.assign(count, end.advice.text);
        } else {
            end = runBatch(batch, set, risk);
        }
    } catch (...) {
        // Out of memory while composing a message: what ran so far stands.
    }
    // Moved, not copied: none of its strings stays shared with this thread.
    QMetaObject::invokeMethod(this, [this, end = std::move(end)] { presentBatch(end); }, Qt::QueuedConnection);
    m_isProgramming.store(false);
    emit isProgrammingChanged(false);
    m_runActive.store(false);
}

FWUpdateProcessor::BatchEnd FWUpdateProcessor::runBatch(const FirmwareBatch& batch, const FirmwareSet& set,
                                                        const std::string& confirmedRisk)
{
    const RunRequest& run = m_run;
    const size_t count = run.all.size();
    // What refused an instrument's bitstream, per instrument: its own thread writes its own.
    std::vector<std::string> refusals(count);
    std::vector<FirmwareRun::Progress> shown(count);
    std::vector<FirmwareBatch::Target> targets;
    for (const InstrumentList::Instrument& instrument : run.all) {
        FirmwareBatch::Target target;
        target.instrument = instrument;
        target.driver = driverFor(instrument.serialNumber);
        Clock& clock = clockFor(instrument.serialNumber);
        target.clock = &clock;
        target.seconds = [&clock] { return std::chrono::duration<double>(clock.now()).count(); };
        targets.push_back(std::move(target));
    }
    const auto serialOf = [&run](size_t index) { return nameOf(run.all[index]); };
    FirmwareBatch::Observer observer;
    observer.report = [&](size_t index, ProgressReporter::MessageType type, const std::string& line) {
        // Progress is each row's own; several instruments' would bury the log.
        if (line.rfind("\rProgress: ", 0) == 0 || line.rfind("progress = ", 0) == 0)
            return;
        ProgressReporter::ThreadRoute toLog(nullptr);
        ProgressReporter::getInstance().reportMessage(type, serialOf(index) + ": " + line);
    };
    observer.console = [&](size_t index, ConsoleSink::Stream stream, const std::string& line) {
        ConsoleSink::toStandardStreams(stream, serialOf(index) + ": " + line);
    };
    // Text crosses to the GUI thread as std::string and becomes a QString
    // there: no string is shared by two threads.
    observer.identified = [this](size_t index, const std::string& part) {
        QMetaObject::invokeMethod(this, [this, index, part] {
            InstrumentRows::Row row = m_rows->at(static_cast<int>(index));
            row.flashPart = fromText(part);
            row.outcome = QStringLiteral("running");
            m_rows->update(static_cast<int>(index), row);
        }, Qt::QueuedConnection);
    };
    observer.progress = [this, &shown](size_t index, const FirmwareRun::Progress& now) {
        FirmwareRun::Progress& last = shown[index];
        if (now.stage == last.stage && std::fabs(now.stageDone - last.stageDone) < kProgressStep && now.stageDone < 1.0 &&
            now.waiting == last.waiting)
            return;
        last = now;
        QMetaObject::invokeMethod(this, [this, index, now] {
            InstrumentRows::Row row = m_rows->at(static_cast<int>(index));
            row.stage = fromText(now.stage);
            row.detail = detailOf(now);
            row.stageProgress = now.stageDone;
            row.runProgress = now.runDone;
            row.outcome = QStringLiteral("running");
            m_rows->update(static_cast<int>(index), row);
        }, Qt::QueuedConnection);
    };
    // Confirmed for the batch, a risk of the bitstream itself is written;
    // one that depends on this instrument's flash was never asked about.
    observer.confirmRisk = [&](size_t index, const FirmwareSet::Image& image, const std::string& risk) -> std::string {
        if (!confirmedRisk.empty() && risk == confirmedRisk)
            return {};
        refusals[index] = risk;
        return "Nothing was written: " + image.path +
               " was not confirmed for this instrument; choose it alone and click Load Firmware to be asked\n";
    };
    const std::vector<FirmwareBatch::Result> results = batch.run(targets, &m_stopRequest, observer);

    BatchEnd end;
    OutcomeAdvice::Batch facts;
    facts.written = run.mode == Full ? QStringLiteral("Version %1").arg(run.version.isEmpty() ? QStringLiteral("Unknown") : run.version)
                                     : QFileInfo(run.firmwareFile).fileName();
    std::vector<RunRecord> records;
    for (size_t i = 0; i < results.size(); ++i) {
        const FirmwareBatch::Result& result = results[i];
        const FirmwareRun::Outcome& outcome = result.outcome;
        records.push_back(completed(FirmwareBatch::record(batch.images(), result), run, true, !confirmedRisk.empty()));
        const QString serial = fromText(serialOf(i));
        const QString key = fromText(result.instrument.serialNumber);
        end.flashParts.push_back(fromText(result.flashPart));
        QString detail;
        if (outcome.ok) {
            end.outcomes.push_back(QStringLiteral("complete"));
            detail = QStringLiteral("Written and read back in %1 s.").arg(result.seconds, 0, 'f', 1);
            for (const FirmwareSet::Image& image : set.images())
                end.completed[key].insert(image.offset);
            facts.succeeded << serial;
        } else {
            end.outcomes.push_back(outcome.stopped ? QStringLiteral("stopped") : QStringLiteral("failed"));
            const int failed = outcome.failedImage;
            const bool known = failed >= 0 && static_cast<size_t>(failed) < set.images().size();
            const FirmwareSet::Image* image = known ? &set.images()[static_cast<size_t>(failed)] : nullptr;
            const bool touched = touchedFlash(outcome) && image;
            if (touched)
                end.incomplete[key].insert(image->offset);
            if (!refusals[i].empty()) {
                detail = QStringLiteral("Not written: %1 Choose this instrument alone and click Load Firmware to be asked.")
                             .arg(fromText(refusals[i]));
            } else if (result.failedStage == "open" || result.failedStage == "identify") {
                OutcomeAdvice::Detection seen;
                seen.listed = true;
                seen.opened = result.failedStage == "identify";
                seen.identificationByte = result.jedecId ? static_cast<int>(result.jedecId & 0xFF) : -1;
                detail = OutcomeAdvice::forDetection(seen).text;
            } else {
                OutcomeAdvice::Run facts;
                facts.outcome = outcome;
                facts.linkLost = outcome.linkLost;
                facts.failedFile = image ? QFileInfo(fromText(image->path)).fileName() : QString();
                facts.failedOffset = image ? image->offset : 0;
                facts.incomplete = touched;
                detail = OutcomeAdvice::forRun(facts).text;
            }
            facts.failures << serial + QStringLiteral(": ") + detail;
            facts.incomplete = facts.incomplete || touched;
        }
        end.details.push_back(detail);
    }
    keep(records);
    end.advice = OutcomeAdvice::forBatch(facts);
    end.failed = !facts.failures.isEmpty();
    return end;
}

void FWUpdateProcessor::presentBatch(const BatchEnd& end)
{
    const bool wasIncomplete = flashIncomplete();
    for (int i = 0; i < m_rows->count() && static_cast<size_t>(i) < end.outcomes.size(); ++i) {
        InstrumentRows::Row row = m_rows->at(i);
        row.outcome = end.outcomes[static_cast<size_t>(i)];
        row.detail = end.details[static_cast<size_t>(i)];
        if (!end.flashParts[static_cast<size_t>(i)].isEmpty())
            row.flashPart = end.flashParts[static_cast<size_t>(i)];
        row.stage.clear();
        if (row.outcome == QLatin1String("complete"))
            row.stageProgress = row.runProgress = 1.0;
        m_rows->update(i, row);
    }
    for (auto it = end.completed.begin(); it != end.completed.end(); ++it)
        m_incomplete[it.key()].subtract(it.value());
    for (auto it = end.incomplete.begin(); it != end.incomplete.end(); ++it)
        m_incomplete[it.key()].unite(it.value());
    if (flashIncomplete() != wasIncomplete)
        emit flashIncompleteChanged();
    showOutcome(end.failed ? QStringLiteral("failed") : QStringLiteral("complete"));
    showAdvice(end.advice);
    if (changeTo(m_programmingAll, false))
        emit programmingAllChanged();
    // The worker is past its last report: once it has ended, the chosen
    // instrument is looked for again, its port having been the batch's.
    waitForProgramming();
    refreshDevices();
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
    const RunHistory history;
    for (const RunRecord& record : records) {
        std::string warning;
        if (!history.append(record, warning)) {
            // The run's result stands; only its record is missing.
            ProgressReporter::error(kNotRecorded + warning + "\n");
            return;
        }
    }
}

namespace {

QString verdictOf(const DiagnosisStep& step)
{
    return step.ok() ? QStringLiteral("ok") : QStringLiteral("finding");
}

QVariantMap row(int number, const QString& name, const QString& verdict)
{
    return {{QStringLiteral("number"), number}, {QStringLiteral("name"), name}, {QStringLiteral("verdict"), verdict},
            {QStringLiteral("line"), QString()},  {QStringLiteral("cause"), QString()},
            {QStringLiteral("action"), QString()}};
}

} // namespace

void FWUpdateProcessor::diagnose()
{
    bool idle = false;
    if (!m_runActive.compare_exchange_strong(idle, true)) {
        ProgressReporter::error(kAlreadyRunning);
        return;
    }
    if (m_worker.joinable())
        m_worker.join();

    m_stopRequest.store(false);
    m_diagnosisSteps.clear();
    int number = 0;
    for (const DiagnosisReport::StepName& step : Diagnosis::steps())
        m_diagnosisSteps.append(row(++number, QString::fromUtf8(step.name), QStringLiteral("pending")));
    m_diagnosisSummary.clear();
    emit diagnosisStepsChanged();
    m_isDiagnosing = true;
    emit isDiagnosingChanged();
    m_progressBeforeDiagnosis[0] = m_stageProgress;
    m_progressBeforeDiagnosis[1] = m_runProgress;
    showProgress(QStringLiteral("Diagnosing"), 0, 0);
    // The controls lock as for a run.
    m_isProgramming.store(true);
    emit isProgrammingChanged(true);
    ProgressReporter::info("Diagnosing the bridge, the wiring and the flash...\n");
    try {
        m_worker = std::thread(&FWUpdateProcessor::doDiagnosis, this);
    } catch (const std::system_error&) {
        doDiagnosis();
    }
}

void FWUpdateProcessor::doDiagnosis()
{
    auto report = std::make_shared<DiagnosisReport>();
    try {
        // The diagnosis opens the port itself.
        if (portState > 0)
            ftdi->PortClose();
        portState = -1;
        Diagnosis diagnosis(*ftdi, *rom, portDescB, kProgramName);
        *report = diagnosis.run([this](const DiagnosisStep& step) {
            if (step.ok())
                ProgressReporter::info(step.text() + "\n");
            else
                ProgressReporter::error(step.text() + "\n");
            QMetaObject::invokeMethod(this, [this, step] { showDiagnosisStep(step); }, Qt::QueuedConnection);
        });
        ProgressReporter::info(report->summary() + "\n");
    } catch (...) {
        // Out of memory while composing a message: what ran so far stands.
    }
    QMetaObject::invokeMethod(this, [this, report] { finishDiagnosis(report); }, Qt::QueuedConnection);
    m_isProgramming.store(false);
    emit isProgrammingChanged(false);
    m_runActive.store(false);
}

void FWUpdateProcessor::showDiagnosisStep(const DiagnosisStep& step)
{
    const int index = step.number - 1;
    if (index < 0 || index >= m_diagnosisSteps.size())
        return;
    QVariantMap shown = row(step.number, QString::fromStdString(step.name), verdictOf(step));
    shown[QStringLiteral("line")] = QString::fromStdString(step.line);
    shown[QStringLiteral("cause")] = QString::fromStdString(step.cause);
    shown[QStringLiteral("action")] = QString::fromStdString(step.action);
    m_diagnosisSteps[index] = shown;
    emit diagnosisStepsChanged();
    const double done = static_cast<double>(step.number) / m_diagnosisSteps.size();
    showProgress(QStringLiteral("Diagnosing: ") + shown[QStringLiteral("name")].toString(), done, done);
}

void FWUpdateProcessor::finishDiagnosis(std::shared_ptr<const DiagnosisReport> report)
{
    for (QVariant& step : m_diagnosisSteps) {
        QVariantMap shown = step.toMap();
        if (shown[QStringLiteral("verdict")] == QStringLiteral("pending"))
            shown[QStringLiteral("verdict")] = QStringLiteral("not run");
        step = shown;
    }
    m_diagnosisReport = std::move(report);
    m_diagnosisSummary = QString::fromStdString(m_diagnosisReport->summary());
    emit diagnosisStepsChanged();
    showProgress(QString(), m_progressBeforeDiagnosis[0], m_progressBeforeDiagnosis[1]);
    // The worker is past its last report: once it has ended, the port is
    // looked for again, as the window found it at start.
    waitForProgramming();
    m_isDiagnosing = false;
    emit isDiagnosingChanged();
    refreshDevices();
}

QString FWUpdateProcessor::saveDiagnosisReport(const QString& path)
{
    if (!m_diagnosisReport)
        return QStringLiteral("no diagnosis has run yet");
    QSaveFile file(path);
    const QByteArray json = QByteArray::fromStdString(m_diagnosisReport->json());
    if (path.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(json) != json.size() || !file.commit())
        return file.errorString().isEmpty() ? QStringLiteral("it cannot be written") : file.errorString();
    ProgressReporter::info("Diagnosis report saved to " + text(path) + "\n");
    return QString();
}

void FWUpdateProcessor::presentRun(const RunReport& report)
{
    const FirmwareRun::Outcome& outcome = report.outcome;
    const bool wasIncomplete = flashIncomplete();
    const bool touched = touchedFlash(outcome);
    if (outcome.ok) {
        for (uint32_t offset : report.offsets)
            incompleteOffsets().remove(offset);
    } else if (touched && outcome.failedImage >= 0) {
        incompleteOffsets().insert(report.failedOffset);
    }
    if (flashIncomplete() != wasIncomplete)
        emit flashIncompleteChanged();
    m_linkLost = report.linkLost;

    OutcomeAdvice::Run facts;
    facts.outcome = outcome;
    facts.refused = report.refused;
    facts.linkLost = report.linkLost;
    facts.failedFile = report.failedFile;
    facts.failedOffset = report.failedOffset;
    facts.incomplete = flashIncomplete();
    facts.written = report.mode == Full ? QStringLiteral("Version %1").arg(m_firmwareVersion)
                                        : QFileInfo(report.firmwareFile).fileName();
    showAdvice(OutcomeAdvice::forRun(facts));
    updateInstrumentState();
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
    else if (m_choiceNeeded)
        state = QStringLiteral("%1 attached: choose one").arg(m_instrumentList.size());
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
            QStringLiteral("Firmware version: ") + (m_firmwareVersion.isEmpty() ? none : m_firmwareVersion)};
}

} // namespace FwLoaderGui
