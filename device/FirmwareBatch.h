#pragma once

#include "base/Clock.h"
#include "base/ConsoleSink.h"
#include "base/ProgressReporter.h"
#include "device/FirmwareRun.h"
#include "device/InstrumentList.h"
#include "device/d2xx/D2xxDriver.h"
#include "record/RunRecord.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// One firmware set into several instruments at once. The files are read and
// checked once, before any instrument is touched; then each instrument gets
// the one programming run (FirmwareRun) on a thread of its own, with a TFtdi
// and a TRom of its own, opened by its serial number (else its location).
// A fault on one instrument ends that one's run alone. The window and
// pravel-flash both drive it; each routes an instrument's reports where it
// shows them.
class FirmwareBatch
{
public:
    // One instrument of the batch and what its run stands on.
    struct Target
    {
        InstrumentList::Instrument instrument;
        std::shared_ptr<d2xx::D2xxDriver> driver;
        Clock* clock = nullptr;         // what its device classes sleep on
        std::function<double()> seconds; // now on that clock, for the run's duration
    };

    // What became of one instrument.
    struct Result
    {
        InstrumentList::Instrument instrument;
        std::string started;        // UTC, as records write it
        std::string flashPart;      // empty when not identified
        uint32_t jedecId = 0;
        FirmwareRun::Outcome outcome;
        std::string failedStage;    // "open", "identify", or the run's stage (stageName); empty on success
        double seconds = 0;         // on the instrument's clock
    };

    // Called on each instrument's own thread, with its place among the targets.
    struct Observer
    {
        std::function<void(size_t, ProgressReporter::MessageType, const std::string&)> report;
        std::function<void(size_t, ConsoleSink::Stream, const std::string&)> console;
        std::function<void(size_t, const FirmwareRun::Progress&)> progress;
        // The flash part, once the instrument's flash has identified itself.
        std::function<void(size_t, const std::string&)> identified;
        // Set: answers the run's FirmwareRun::Options::confirmRisk for this instrument.
        std::function<std::string(size_t, const FirmwareSet::Image&, const std::string&)> confirmRisk;
    };

    FirmwareBatch(FirmwareSet set, FirmwareRun::Options options);
    ~FirmwareBatch();

    // Reads and checks every file, on the calling thread, reporting as
    // FirmwareRun::prepare does. Nothing is sent to any instrument.
    FirmwareRun::Outcome prepare();
    // The prepared images: path, offset, size and SHA-256.
    const std::vector<RunRecord::Image>& images() const { return imageFacts; }
    // What the prepared bitstream risks on every instrument alike
    // (FirmwareRun::fileRisk): one question can settle it for the batch.
    std::string fileRisk() const;

    // One run per target, all at once; returns when every one has ended
    // and closed its port. `stop` (may be nullptr) ends every run between
    // transactions. prepare() first.
    std::vector<Result> run(const std::vector<Target>& targets, const std::atomic<bool>* stop,
                            const Observer& observer) const;

    // The record of one run over `images`, without what only the caller
    // knows (program, version, host, options, firmware version).
    static RunRecord record(const std::vector<RunRecord::Image>& images, const Result& result);
    // As records name a stage: "load", "erase", "program", "verify"; empty for None.
    static std::string stageName(FirmwareRun::Stage stage);

private:
    Result runOne(size_t index, const Target& target, const std::atomic<bool>* stop, const Observer& observer) const;

    FirmwareSet set;
    FirmwareRun::Options options;
    std::unique_ptr<class TRom> noInstrument; // prepare() reads files only
    std::unique_ptr<FirmwareRun> prepared;
    std::vector<RunRecord::Image> imageFacts;
};
