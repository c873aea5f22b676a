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

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QtQml/qqml.h>

#include <chrono>
#include <cmath>
#include <cstdint>
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

} // namespace

FWUpdateProcessor::FWUpdateProcessor(std::shared_ptr<d2xx::D2xxDriver> driver, Clock& clock, QObject* parent)
    : QObject(parent)
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
    const FirmwareSet next = firmwareOf({m_deviceDetected, m_firmwareFile, m_bootloaderFile, m_programmingMode});
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

void FWUpdateProcessor::refreshDevices()
{
    if (refuseDuringRun())
        return;
    // A stop asked for after the last run ended must not cut discovery short.
    m_stopRequest.store(false);
    rescanFirmware();
    m_deviceDetected = false;
    if (portState > 0)
        ftdi->PortClose();
    // The listing goes into the log at the first refresh and whenever the
    // bus changed, not at every click.
    const TFtdi::Listing listing = ftdi->ListChannels();
    if (!m_listingReported || listing != m_listing) {
        TFtdi::ReportChannels(listing);
        m_listing = listing;
        m_listingReported = true;
    }
    portState = ftdi->PortOpen(portDescB);
    if (portState > 0)
        m_deviceDetected = rom->CheckMemory() != 0;
    if (!m_deviceDetected)
        ProgressReporter::error(kDeviceNotFound);
    // The cause, last, where the bridge went away while it was being set up or read.
    if (ftdi->LinkLost())
        ProgressReporter::error(TFtdi::linkLostMessage);

    OutcomeAdvice::Detection facts;
    const TFtdi::Channel* bridge = listing.find(portDescB);
    facts.listed = bridge != nullptr;
    facts.opened = portState > 0;
    facts.linkLost = ftdi->LinkLost();
    facts.identificationByte = facts.opened ? rom->IdentificationByte() : -1;
    facts.identified = m_deviceDetected;
    facts.flashBusy = facts.opened && rom->LastIdentifyResult() == TRom::IdentifyResult::StillBusy;
    facts.incomplete = flashIncomplete();
    const OutcomeAdvice advice = OutcomeAdvice::forDetection(facts);
    const bool found = advice.kind == OutcomeAdvice::Kind::None || advice.kind == OutcomeAdvice::Kind::Incomplete;
    m_detectionKind = found ? OutcomeAdvice::Kind::None : advice.kind;
    m_linkLost = false;
    const FlashChip* chip = m_deviceDetected ? rom->Chip() : nullptr;
    showInstrument(bridge ? QString::fromStdString(bridge->serialNumber) : QString(),
                   chip ? QString::fromLatin1(chip->name) : QString(), chip ? chip->memorySize : 0);
    // A failed detection says so; a successful one replaces only what a
    // failed one said: a run's outcome stays until the next run.
    if (!found || m_detectionShown)
        showAdvice(advice);
    m_detectionShown = !found;
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

void FWUpdateProcessor::program()
{
    bool idle = false;
    if (!m_runActive.compare_exchange_strong(idle, true)) {
        ProgressReporter::error(kAlreadyRunning);
        return;
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
    m_run.deviceDetected = m_deviceDetected;
    m_run.firmwareFile = m_firmwareFile;
    m_run.bootloaderFile = m_bootloaderFile;
    m_run.mode = m_programmingMode;
    try {
        m_worker = std::thread(&FWUpdateProcessor::doProgramming, this);
    } catch (const std::system_error&) {
        // No thread to be had: the run still happens, only the window waits.
        doProgramming();
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
        const QString text = QString::fromStdString(risk);
        QMetaObject::invokeMethod(this, [this, text] { showQuestion(text); }, Qt::QueuedConnection);
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
    QMetaObject::invokeMethod(this, [this, ok, report] {
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
        ProgressReporter::error(kAborting);
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
    options.confirmRisk = [this](const FirmwareSet::Image& image, const std::string& risk) {
        return askAboutRisk(image.path, risk);
    };
    const FirmwareRun::Outcome outcome = FirmwareRun(*rom, firmware, options).run();
    // The cause goes last, where a technician looks first.
    if (outcome.linkLost)
        ProgressReporter::error(TFtdi::linkLostMessage);
    return outcome;
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
    // A failure while programming or reading back came after the erase,
    // whatever else is known about it.
    const bool touched = outcome.flashTouched || outcome.failedStage == FirmwareRun::Stage::Program ||
                         outcome.failedStage == FirmwareRun::Stage::Verify;
    if (outcome.ok) {
        for (uint32_t offset : report.offsets)
            m_incompleteOffsets.remove(offset);
    } else if (touched && outcome.failedImage >= 0) {
        m_incompleteOffsets.insert(report.failedOffset);
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
    const FirmwareSet next = firmwareOf({m_deviceDetected, m_firmwareFile, m_bootloaderFile, m_programmingMode});
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
