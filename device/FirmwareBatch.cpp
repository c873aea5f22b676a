#include "device/FirmwareBatch.h"

#include "device/FlashChip.h"
#include "device/TFtdi.h"
#include "device/TRom.h"

#include <exception>
#include <system_error>
#include <thread>
#include <utility>

FirmwareBatch::FirmwareBatch(FirmwareSet set, FirmwareRun::Options options)
    : set(std::move(set)), options(std::move(options)), noInstrument(std::make_unique<TRom>(nullptr))
{
}

FirmwareBatch::~FirmwareBatch() = default;

FirmwareRun::Outcome FirmwareBatch::prepare()
{
    prepared = std::make_unique<FirmwareRun>(*noInstrument, set, options);
    const FirmwareRun::Outcome outcome = prepared->prepare();
    imageFacts = prepared->preparedImages();
    return outcome;
}

std::string FirmwareBatch::fileRisk() const
{
    return prepared ? prepared->fileRisk() : std::string();
}

std::vector<FirmwareBatch::Result> FirmwareBatch::run(const std::vector<Target>& targets,
                                                      const std::atomic<bool>* stop, const Observer& observer) const
{
    std::vector<Result> results(targets.size());
    std::vector<std::thread> threads;
    threads.reserve(targets.size());
    for (size_t i = 0; i < targets.size(); ++i) {
        try {
            threads.emplace_back([&, i] { results[i] = runOne(i, targets[i], stop, observer); });
        } catch (const std::system_error&) {
            // No thread to be had: this instrument's run goes here, beside the
            // others, rather than ending the process with them half-written.
            results[i] = runOne(i, targets[i], stop, observer);
        }
    }
    for (std::thread& thread : threads)
        thread.join();
    return results;
}

FirmwareBatch::Result FirmwareBatch::runOne(size_t index, const Target& target, const std::atomic<bool>* stop,
                                            const Observer& observer) const
{
    // Everything this thread reports is this instrument's.
    ProgressReporter::ThreadRoute reports([&](ProgressReporter::MessageType type, const std::string& text) {
        if (observer.report)
            observer.report(index, type, text);
    });
    ConsoleSink::Route lines(ConsoleSink::Route::ThisThread, [&](ConsoleSink::Stream stream, const std::string& text) {
        if (observer.console)
            observer.console(index, stream, text);
        else
            ConsoleSink::toStandardStreams(stream, text);
    });

    Result result;
    result.instrument = target.instrument;
    result.started = RunRecord::utcNow();
    const double start = target.seconds ? target.seconds() : 0.0;
    try {
        TFtdi ftdi(target.driver, target.clock ? *target.clock : Clock::system());
        ftdi.SetStopRequest(stop);
        target.instrument.choosePort(ftdi);
        TRom rom(&ftdi);
        if (ftdi.StopRequested()) {
            result.outcome.stopped = true; // nothing was sent
        } else if (ftdi.PortOpen() != 1) {
            result.failedStage = "open";
        } else {
            if (rom.CheckMemory() != 1) {
                ProgressReporter::error("No supported flash chip found\n");
                result.failedStage = "identify";
                result.jedecId = ftdi.LastJedecId();
            } else {
                result.flashPart = rom.Chip()->name;
                result.jedecId = ftdi.LastJedecId();
                if (observer.identified)
                    observer.identified(index, result.flashPart);
                FirmwareRun::Options own = options;
                own.progress = [&](const FirmwareRun::Progress& progress) {
                    if (observer.progress)
                        observer.progress(index, progress);
                };
                if (observer.confirmRisk)
                    own.confirmRisk = [&](const FirmwareSet::Image& image, const std::string& risk) {
                        return observer.confirmRisk(index, image, risk);
                    };
                FirmwareRun run(rom, set, own);
                run.adoptPrepared(*prepared);
                result.outcome = run.run();
                if (!result.outcome.ok)
                    result.failedStage = stageName(result.outcome.failedStage);
            }
            // A stop may have cut an FPGA reset pulse short; the pins go idle first.
            if (ftdi.StopRequested())
                ftdi.MPSSE_IdlePins();
            ftdi.PortClose();
        }
        // The cause goes last, as after a run on one instrument.
        if (result.outcome.linkLost || ftdi.LinkLost())
            ProgressReporter::error(TFtdi::linkLostMessage);
        result.outcome.stopped = result.outcome.stopped || ftdi.StopRequested();
    } catch (const std::exception& e) {
        ProgressReporter::error(std::string("Error, the run ended: ") + e.what() + "\n");
        result.outcome.ok = false;
    }
    result.seconds = (target.seconds ? target.seconds() : 0.0) - start;
    return result;
}

RunRecord FirmwareBatch::record(const std::vector<RunRecord::Image>& images, const Result& result)
{
    RunRecord record;
    record.time = result.started;
    record.serialNumber = result.instrument.serialNumber;
    record.location = result.instrument.location;
    record.flashPart = result.flashPart;
    record.jedecId = result.jedecId;
    record.images = images;
    record.outcome = result.outcome.ok ? "success" : result.outcome.stopped ? "interrupted" : "failed";
    record.failedImage = result.outcome.ok ? -1 : result.outcome.failedImage;
    record.failedStage = result.outcome.ok ? "" : result.failedStage;
    record.durationSeconds = result.seconds;
    return record;
}

std::string FirmwareBatch::stageName(FirmwareRun::Stage stage)
{
    switch (stage) {
    case FirmwareRun::Stage::Load:
        return "load";
    case FirmwareRun::Stage::Erase:
        return "erase";
    case FirmwareRun::Stage::Program:
        return "program";
    case FirmwareRun::Stage::Verify:
        return "verify";
    case FirmwareRun::Stage::None:
        break;
    }
    return {};
}
