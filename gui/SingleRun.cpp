#include "gui/SingleRun.h"

#include "base/ProgressReporter.h"
#include "device/FirmwareBatch.h"
#include "device/FirmwareSet.h"
#include "device/FlashChip.h"
#include "device/TFtdi.h"
#include "device/TRom.h"
#include "gui/FWUpdateProcessor.h"
#include "gui/ProcessorShared.h"
#include "record/RunRecord.h"

#include <QFileInfo>

#include <chrono>

namespace FwLoaderGui {

SingleRun::SingleRun(FWUpdateProcessor& processor)
    : m_processor(processor)
{
}

void SingleRun::run()
{
    const FWUpdateProcessor::RunRequest& request = m_processor.m_run;
    Report report;
    report.refused = !request.deviceDetected || request.firmwareFile.isEmpty();
    report.written = request.written();
    try {
        FirmwareSet firmware;
        report.outcome = runSteps(firmware);
        for (const FirmwareSet::Image& image : firmware.images())
            report.offsets.push_back(image.offset);
        if (const FirmwareSet::Image* image = firmware.imageAt(report.outcome.failedImage)) {
            report.failedFile = QFileInfo(QString::fromStdString(image->path)).fileName();
            report.failedOffset = image->offset;
        }
    } catch (...) {
        // Out of memory while composing a message: the run ends like any
        // other failed one, idle again.
        report.outcome.ok = false;
    }
    report.linkLost = report.outcome.linkLost || m_processor.ftdi->LinkLost();
    const bool ok = report.outcome.ok;
    // Queued ahead of isProgrammingChanged(false): a binding that sees the run
    // end finds its outcome already there.
    QMetaObject::invokeMethod(&m_processor, [this, ok, report = std::move(report)] {
        m_processor.showProgress(QString(), ok ? 1.0 : m_processor.stageProgress(),
                                 ok ? 1.0 : m_processor.runProgress());
        m_processor.showTimes(ok ? 0.0 : -1.0, QString());
        m_processor.showOutcome(ok ? QStringLiteral("complete") : QStringLiteral("failed"));
        present(report);
    }, Qt::QueuedConnection);
    m_processor.releaseWorker();
}

FirmwareRun::Outcome SingleRun::runSteps(FirmwareSet& firmware)
{
    const FWUpdateProcessor::RunRequest& run = m_processor.m_run;
    if (!run.deviceDetected || run.firmwareFile.isEmpty()) {
        ProgressReporter::error(run.refusal.empty() ? kAborting : run.refusal);
        return {};
    }
    m_processor.setProgramming(true);

    firmware = m_processor.firmwareOf(run);
    FirmwareRun::Options options;
    options.setOffset = [this](uint32_t offset) { m_processor.applyMemOffset(static_cast<int>(offset)); };
    options.verify = true;
    options.shownMismatches = kShownMismatches;
    FirmwareRun::Progress shown;
    options.progress = [this, &shown](const FirmwareRun::Progress& now) {
        if (!worthShowing(shown, now))
            return;
        shown = now;
        const QString detail = detailOf(now);
        const QString stage = QString::fromStdString(now.stage);
        QMetaObject::invokeMethod(&m_processor, [this, stage, now, detail] {
            m_processor.showProgress(stage, now.stageDone, now.runDone);
            m_processor.showTimes(now.secondsLeft, detail);
        }, Qt::QueuedConnection);
    };
    bool riskConfirmed = false;
    options.confirmRisk = [this, &riskConfirmed](const FirmwareSet::Image& image, const std::string& risk) {
        const std::string refusal = m_processor.m_question.ask(image.path, risk);
        riskConfirmed = refusal.empty();
        return refusal;
    };
    TFtdi& ftdi = *m_processor.ftdi;
    TRom& rom = *m_processor.rom;
    FirmwareRun firmwareRun(rom, firmware, options);
    FirmwareBatch::Result result;
    result.instrument = run.instrument;
    result.started = RunRecord::utcNow();
    const Clock& clock = ftdi.clock();
    const std::chrono::nanoseconds start = clock.now();
    // A run whose files could not be read touched nothing and leaves no record.
    FirmwareRun::Outcome outcome = firmwareRun.prepare();
    if (outcome.ok) {
        const std::vector<RunRecord::Image> images = firmwareRun.preparedImages();
        outcome = firmwareRun.run();
        result.flashPart = rom.Chip() ? rom.Chip()->name : "";
        result.jedecId = ftdi.LastJedecId();
        result.outcome = outcome;
        result.failedStage = FirmwareBatch::stageName(outcome.failedStage);
        result.seconds = clock.secondsSince(start);
        FWUpdateProcessor::keep({m_processor.completed(FirmwareBatch::record(images, result), run, false, riskConfirmed)});
    }
    // The cause goes last, where a technician looks first.
    if (outcome.linkLost)
        ProgressReporter::error(TFtdi::linkLostMessage);
    return outcome;
}

void SingleRun::present(const Report& report)
{
    const FirmwareRun::Outcome& outcome = report.outcome;
    const bool wasIncomplete = m_processor.flashIncomplete();
    const bool touched = touchedFlash(outcome);
    if (outcome.ok) {
        for (uint32_t offset : report.offsets)
            m_processor.incompleteOffsets().remove(offset);
    } else if (touched && outcome.failedImage >= 0) {
        m_processor.incompleteOffsets().insert(report.failedOffset);
    }
    if (m_processor.flashIncomplete() != wasIncomplete)
        emit m_processor.flashIncompleteChanged();
    m_processor.m_linkLost = report.linkLost;

    OutcomeAdvice::Run facts;
    facts.outcome = outcome;
    facts.refused = report.refused;
    facts.linkLost = report.linkLost;
    facts.failedFile = report.failedFile;
    facts.failedOffset = report.failedOffset;
    facts.incomplete = m_processor.flashIncomplete();
    facts.written = report.written;
    m_processor.showAdvice(OutcomeAdvice::forRun(facts));
    m_processor.updateInstrumentState();
}

} // namespace FwLoaderGui
