#include "gui/StationBatch.h"

#include "base/ProgressReporter.h"
#include "device/FirmwareBatch.h"
#include "device/FirmwareSet.h"
#include "gui/FWUpdateProcessor.h"
#include "gui/InstrumentRows.h"
#include "gui/ProcessorShared.h"
#include "record/RunRecord.h"

#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <chrono>

namespace FwLoaderGui {

namespace {

bool isBlank(const std::string& line)
{
    return line.find_first_not_of(" \r\n") == std::string::npos;
}

} // namespace

StationBatch::StationBatch(FWUpdateProcessor& processor)
    : m_processor(processor)
    , m_rows(new InstrumentRows(&processor))
{
}

void StationBatch::start(bool confirmed)
{
    if (!m_processor.startRun(confirmed))
        return;
    QStringList serials;
    for (const InstrumentList::Instrument& instrument : m_processor.m_run.all)
        serials << fromText(instrument.name());
    m_rows->reset(serials);
    if (changeTo(m_programmingAll, true))
        emit m_processor.programmingAllChanged();
    m_processor.startWorker([this] { run(); });
}

void StationBatch::run()
{
    const FWUpdateProcessor::RunRequest& run = m_processor.m_run;
    End end;
    const size_t count = run.all.size();
    end.outcomes.assign(count, QStringLiteral("not started"));
    end.details.assign(count, QString());
    end.flashParts.assign(count, QString());
    end.failed = true;
    try {
        m_processor.setProgramming(true);
        // Each run opens its instrument itself, the one the window had open too.
        m_processor.closePort();

        const FirmwareSet set = m_processor.firmwareOf(run);
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
            if (const FirmwareSet::Image* image = set.imageAt(prepared.failedImage))
                notStarted.failedFile = QFileInfo(fromText(image->path)).fileName();
        } else if (!(risk = batch.fileRisk()).empty()) {
            // A risk of the bitstream itself is the same for every instrument: one question.
            ProgressReporter::error("Warning: " + risk + "\n");
            const auto bitstream = std::find_if(set.images().begin(), set.images().end(), [](const FirmwareSet::Image& image) {
                return image.offset == FirmwareSet::bitstreamOffset;
            });
            refusal = m_processor.m_question.ask(bitstream->path, risk + " It would be written into all " +
                                                                      std::to_string(count) + " instruments.");
            if (!refusal.empty()) {
                ProgressReporter::error(refusal);
                notStarted.outcome.failedStage = FirmwareRun::Stage::Load;
                notStarted.outcome.stopped = m_processor.m_stopRequest.load();
                notStarted.failedFile = QFileInfo(fromText(bitstream->path)).fileName();
                notStarted.fileProblem = QStringLiteral("%1 was not confirmed.").arg(notStarted.failedFile);
            }
        }
        if (notStarted.refused || !prepared.ok || !refusal.empty()) {
            end.advice = OutcomeAdvice::forRun(notStarted);
            end.details.assign(count, end.advice.text);
        } else {
            end = runAll(batch, set, risk);
        }
    } catch (...) {
        // Out of memory while composing a message: what ran so far stands.
    }
    // Moved, not copied: none of its strings stays shared with this thread.
    QMetaObject::invokeMethod(&m_processor, [this, end = std::move(end)] { present(end); }, Qt::QueuedConnection);
    m_processor.releaseWorker();
}

StationBatch::End StationBatch::runAll(const FirmwareBatch& batch, const FirmwareSet& set, const std::string& confirmedRisk)
{
    const FWUpdateProcessor::RunRequest& run = m_processor.m_run;
    const size_t count = run.all.size();
    // What refused an instrument's bitstream, per instrument: its own thread writes its own.
    std::vector<std::string> refusals(count);
    std::vector<FirmwareRun::Progress> shown(count);
    std::vector<FirmwareBatch::Target> targets;
    for (const InstrumentList::Instrument& instrument : run.all) {
        FirmwareBatch::Target target;
        target.instrument = instrument;
        target.driver = m_processor.driverFor(instrument.serialNumber);
        Clock& clock = m_processor.clockFor(instrument.serialNumber);
        target.clock = &clock;
        target.seconds = [&clock] { return std::chrono::duration<double>(clock.now()).count(); };
        targets.push_back(std::move(target));
    }
    const auto serialOf = [&run](size_t index) { return run.all[index].name(); };
    FirmwareBatch::Observer observer;
    observer.report = [&](size_t index, ProgressReporter::MessageType type, const std::string& line) {
        // Progress is each row's own; several instruments' would bury the log.
        // A blank spacing line would read as a serial number and nothing.
        if (line.rfind("\rProgress: ", 0) == 0 || line.rfind("progress = ", 0) == 0 || isBlank(line))
            return;
        ProgressReporter::ThreadRoute toLog(nullptr);
        ProgressReporter::getInstance().reportMessage(type, serialOf(index) + ": " + line);
    };
    observer.console = [&](size_t index, ConsoleSink::Stream stream, const std::string& line) {
        if (!isBlank(line))
            ConsoleSink::toStandardStreams(stream, serialOf(index) + ": " + line);
    };
    // Text crosses to the GUI thread as std::string and becomes a QString
    // there: no string is shared by two threads.
    observer.identified = [this](size_t index, const std::string& part) {
        QMetaObject::invokeMethod(&m_processor, [this, index, part] {
            InstrumentRows::Row row = m_rows->at(static_cast<int>(index));
            row.flashPart = fromText(part);
            row.outcome = QStringLiteral("running");
            m_rows->update(static_cast<int>(index), row);
        }, Qt::QueuedConnection);
    };
    observer.progress = [this, &shown](size_t index, const FirmwareRun::Progress& now) {
        FirmwareRun::Progress& last = shown[index];
        if (!worthShowing(last, now))
            return;
        last = now;
        QMetaObject::invokeMethod(&m_processor, [this, index, now] {
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
    const std::vector<FirmwareBatch::Result> results = batch.run(targets, &m_processor.m_stopRequest, observer);

    End end;
    OutcomeAdvice::Batch facts;
    facts.written = run.written();
    std::vector<RunRecord> records;
    for (size_t i = 0; i < results.size(); ++i) {
        const FirmwareBatch::Result& result = results[i];
        const FirmwareRun::Outcome& outcome = result.outcome;
        records.push_back(
            m_processor.completed(FirmwareBatch::record(batch.images(), result), run, true, !confirmedRisk.empty()));
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
            const FirmwareSet::Image* image = set.imageAt(outcome.failedImage);
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
    FWUpdateProcessor::keep(records);
    end.advice = OutcomeAdvice::forBatch(facts);
    end.failed = !facts.failures.isEmpty();
    return end;
}

void StationBatch::present(const End& end)
{
    const bool wasIncomplete = m_processor.flashIncomplete();
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
    QHash<QString, QSet<uint32_t>>& incomplete = m_processor.m_incomplete;
    for (auto it = end.completed.begin(); it != end.completed.end(); ++it)
        incomplete[it.key()].subtract(it.value());
    for (auto it = end.incomplete.begin(); it != end.incomplete.end(); ++it)
        incomplete[it.key()].unite(it.value());
    if (m_processor.flashIncomplete() != wasIncomplete)
        emit m_processor.flashIncompleteChanged();
    m_processor.showOutcome(end.failed ? QStringLiteral("failed") : QStringLiteral("complete"));
    m_processor.showAdvice(end.advice);
    if (changeTo(m_programmingAll, false))
        emit m_processor.programmingAllChanged();
    // The worker is past its last report: once it has ended, the chosen
    // instrument is looked for again, its port having been the batch's.
    m_processor.waitForProgramming();
    m_processor.refreshDevices();
}

} // namespace FwLoaderGui
