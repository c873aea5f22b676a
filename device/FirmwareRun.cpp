#include "device/FirmwareRun.h"

#include "base/HexText.h"
#include "base/ProgressReporter.h"
#include "device/FlashChip.h"
#include "device/BitstreamGuard.h"
#include "device/BitstreamReader.h"
#include "device/FlashGeometry.h"
#include "device/RunTimeModel.h"
#include "device/TFtdi.h"
#include "device/WholeFile.h"
#include "record/Sha256.h"

#include <algorithm>
#include <filesystem>
#include <utility>

namespace {

// A wait for the flash is shown once it lasts longer than this.
constexpr double kWaitShownAfterSeconds = 1.0;

std::string fileName(const std::string& path)
{
    try {
        return std::filesystem::u8path(path).filename().u8string();
    } catch (...) {
        return path;
    }
}

uint64_t sectorStart(uint64_t address) { return address / FlashGeometry::sectorSize * FlashGeometry::sectorSize; }
uint64_t sectorEnd(uint64_t address)
{
    return (address + FlashGeometry::sectorSize - 1) / FlashGeometry::sectorSize * FlashGeometry::sectorSize;
}

} // namespace

const char FirmwareRun::checkConnections[] = "Please check power and USB connections and try again.\n";
const char FirmwareRun::complete[] =
    "Device programming is complete. Device must be restarted for changes to take effect.\n";

FirmwareRun::FirmwareRun(TRom& rom, FirmwareSet set, Options options)
    : rom(rom), set(std::move(set)), options(std::move(options))
{
}

FirmwareRun::~FirmwareRun() = default;

FirmwareRun::Outcome FirmwareRun::failLoad(int index, const std::string& message, bool hint)
{
    ProgressReporter::error(message);
    Outcome outcome;
    outcome.failedImage = index;
    outcome.failedStage = Stage::Load;
    if (!options.verifyOnly) {
        ProgressReporter::error("Programming of " + set.images()[static_cast<size_t>(index)].path + " failed.\n");
        if (hint && options.hintAfterLoadFailure)
            ProgressReporter::error(checkConnections);
    }
    data.clear();
    prepared = false;
    return outcome;
}

FirmwareRun::Outcome FirmwareRun::guardBitstream()
{
    Outcome outcome;
    outcome.ok = true;
    const std::vector<FirmwareSet::Image>& images = set.images();
    for (size_t i = 0; i < images.size(); ++i) {
        const FirmwareSet::Image& image = images[i];
        if (image.offset != FirmwareSet::bitstreamOffset)
            continue;
        const int index = static_cast<int>(i);
        const BitstreamGuard::Finding finding = BitstreamGuard::check(incoming, rom);
        if (finding.flashReadFailed) {
            if (!rom.Ftdi()->StopRequested())
                ProgressReporter::error("Error, the flash could not be read to see which FPGA its bitstream is for\n");
            return failProgramming(index, Stage::Load, true);
        }
        // No sync word: not a bitstream at all, which the file-kind check is for.
        if (!finding.incoming.synced)
            continue;
        ProgressReporter::info("Bitstream " + image.path + ": " + finding.incoming.facts() + "\n");
        if (finding.risk.empty())
            continue;
        ProgressReporter::error("Warning: " + finding.risk + "\n");
        const std::string refusal = options.confirmRisk ? options.confirmRisk(image, finding.risk)
                                                        : "Error, nothing was written: " + image.path + " is refused\n";
        if (!refusal.empty())
            return failLoad(index, refusal, false);
        ProgressReporter::info("Writing " + image.path + " all the same, as confirmed\n");
    }
    return outcome;
}

FirmwareRun::Outcome FirmwareRun::prepare()
{
    Outcome outcome;
    outcome.ok = true;
    if (prepared)
        return outcome;
    const bool writing = !options.verifyOnly;
    const std::vector<FirmwareSet::Image>& images = set.images();
    data.assign(images.size(), {});
    sizes.assign(images.size(), 0);
    incoming = BitstreamReport();
    for (size_t i = 0; i < images.size(); ++i) {
        const FirmwareSet::Image& image = images[i];
        const int index = static_cast<int>(i);
        WholeFile file;
        const WholeFile::Status opened = file.open(image.path);
        if (opened != WholeFile::Ok)
            return failLoad(index, WholeFile::failure(opened, image.path));
        const uint64_t size = file.size();
        if (image.offset + size > FlashGeometry::addressSpace)
            return failLoad(index, "Error, " + image.path + " (" + std::to_string(size) +
                                       " bytes) does not fit into the flash at " + hexText(image.offset) +
                                       ": the address space ends at " + hexText(FlashGeometry::addressSpace) + "\n");
        if (writing && size == 0)
            return failLoad(index, "Error, " + image.path + " is empty: nothing to write\n");
        // Programming erases whole sectors: a later image must not wipe an earlier one.
        for (size_t k = 0; writing && k < i; ++k) {
            const uint64_t otherStart = sectorStart(images[k].offset);
            const uint64_t otherEnd = sectorEnd(images[k].offset + sizes[k]);
            if (sectorStart(image.offset) < otherEnd && otherStart < sectorEnd(image.offset + size))
                return failLoad(index, "Error, " + image.path + " at " + hexText(image.offset) +
                                           " would erase sectors of the image written before it\n");
        }
        const WholeFile::Status read = file.readInto(data[i]);
        if (read != WholeFile::Ok)
            return failLoad(index, WholeFile::failure(read, image.path));
        if (writing && options.checkImage) {
            const std::string refusal = options.checkImage(image, data[i]);
            if (!refusal.empty())
                return failLoad(index, refusal);
        }
        // Read once for every instrument of a batch: judged for whichever
        // FPGA it names, which one is the guard's comparison's business.
        if (writing && image.offset == FirmwareSet::bitstreamOffset)
            incoming = BitstreamReader::read(data[i], BitstreamReader::anyPart);
        sizes[i] = size;
    }
    prepared = true;
    return outcome;
}

void FirmwareRun::adoptPrepared(const FirmwareRun& source)
{
    data = source.data;
    sizes = source.sizes;
    incoming = source.incoming;
    prepared = source.prepared;
}

std::vector<RunRecord::Image> FirmwareRun::preparedImages() const
{
    std::vector<RunRecord::Image> images;
    for (size_t i = 0; i < set.images().size(); ++i) {
        RunRecord::Image image;
        image.path = set.images()[i].path;
        image.offset = set.images()[i].offset;
        if (prepared && i < data.size()) {
            image.size = data[i].size();
            image.sha256 = Sha256::hex(data[i].data(), data[i].size());
        }
        images.push_back(std::move(image));
    }
    return images;
}

std::string FirmwareRun::fileRisk() const
{
    // As the guard: no sync word, no bitstream to judge.
    return prepared && incoming.synced ? BitstreamGuard::risk(incoming, BitstreamReport()) : std::string();
}

int FirmwareRun::stagesPerImage() const
{
    return options.verifyOnly ? 1 : options.verify ? 3 : 2;
}

void FirmwareRun::startClock()
{
    started = rom.Ftdi()->clock().now();
    shown = Progress();
    if (!options.progress)
        return;
    // The stages as this run goes through them, weighed by the part's times.
    std::vector<RunTimeModel::Stage> stages;
    for (uint64_t size : sizes) {
        if (!options.verifyOnly) {
            stages.push_back({RunTimeModel::Kind::Erase, size});
            stages.push_back({RunTimeModel::Kind::Program, size});
        }
        if (options.verifyOnly || options.verify)
            stages.push_back({RunTimeModel::Kind::Verify, size});
    }
    timeModel = std::make_unique<RunTimeModel>(rom.Chip() ? *rom.Chip() : FlashChip::slowest(), std::move(stages));
}

void FirmwareRun::observe(int index, int stageIndex, const char* verb, double done)
{
    if (!options.progress)
        return;
    const FirmwareSet::Image& image = set.images()[static_cast<size_t>(index)];
    const double at = rom.Ftdi()->clock().secondsSince(started);
    timeModel->update(static_cast<size_t>(index * stagesPerImage() + stageIndex), done, at);
    shown.stage = std::string(verb) + " " + fileName(image.path);
    shown.stageDone = done;
    publish();
}

void FirmwareRun::observeWait(const std::string& awaited, double seconds)
{
    if (!options.progress || (awaited.empty() && shown.waiting.empty()))
        return;
    if (!awaited.empty() && seconds < kWaitShownAfterSeconds)
        return;
    shown.waiting = awaited;
    shown.waitedSeconds = awaited.empty() ? 0 : seconds;
    publish();
}

void FirmwareRun::publish()
{
    const double at = rom.Ftdi()->clock().secondsSince(started);
    timeModel->advanceTo(at);
    // A changed-only write skips what it finds in place: no model knows that beforehand.
    shown.secondsLeft = options.changedOnly ? -1 : timeModel->secondsLeft();
    shown.runDone = std::max(shown.runDone, std::min(1.0, timeModel->runDone()));
    options.progress(shown);
}

FirmwareRun::Outcome FirmwareRun::failProgramming(int index, Stage stage, bool hint)
{
    Outcome outcome;
    outcome.failedImage = index;
    outcome.failedStage = stage;
    outcome.stopped = rom.Ftdi()->StopRequested();
    outcome = finished(outcome);
    // A changed-only write reads the flash before it changes anything.
    if (options.changedOnly && !outcome.flashTouched)
        ProgressReporter::error("Nothing was written\n");
    else
        ProgressReporter::error("Programming of " + set.images()[static_cast<size_t>(index)].path + " failed.\n");
    if (hint && !outcome.stopped)
        ProgressReporter::error(checkConnections);
    return outcome;
}

FirmwareRun::Outcome FirmwareRun::finished(Outcome outcome) const
{
    outcome.flashTouched = rom.ChangeCommandsSent() > changesBefore;
    outcome.linkLost = rom.Ftdi()->LinkLost();
    return outcome;
}

bool FirmwareRun::verifyImage(int index, Outcome& outcome)
{
    const FirmwareSet::Image& image = set.images()[static_cast<size_t>(index)];
    const int stageIndex = options.verifyOnly ? 0 : 2;
    rom.SetProgressObserver([&](TRom::Phase, double done) { observe(index, stageIndex, "Verifying", done); });
    const int verified = rom.Verify(outcome.verify, options.shownMismatches);
    rom.SetProgressObserver(nullptr);
    const TRom::VerifyResult& result = outcome.verify;
    if (verified == 1) {
        ProgressReporter::info("Verify...OK: " + image.path + " matches the flash at " + hexText(image.offset) + "\n");
        return true;
    }
    if (!result.readOk) {
        if (!rom.Ftdi()->StopRequested())
            ProgressReporter::error("Verify...NG: the flash could not be read\n");
        return false;
    }
    const uint64_t count = result.mismatchCount;
    const uint64_t first = result.firstMismatches.empty() ? 0 : result.firstMismatches.front();
    std::string text = "Verify...NG: " + std::to_string(count) + (count == 1 ? " byte" : " bytes") + " of " +
                       image.path + (count == 1 ? " differs" : " differ") + " from the flash at " +
                       hexText(image.offset) + "; the first at position " + std::to_string(first) +
                       " (flash address " + hexText(image.offset + first) + ")";
    if (count > options.shownMismatches)
        text += "; the first " + std::to_string(options.shownMismatches) + " are listed above";
    ProgressReporter::error(text + "\n");
    return false;
}

FirmwareRun::Outcome FirmwareRun::run()
{
    Outcome outcome = prepare();
    if (!outcome.ok)
        return outcome;
    changesBefore = rom.ChangeCommandsSent();
    startClock();
    // Whatever way the run ends, the flash driver stops calling back into it.
    struct Observing
    {
        TRom& rom;
        ~Observing()
        {
            rom.SetProgressObserver(nullptr);
            rom.SetWaitObserver(nullptr);
        }
    } observing{rom};
    rom.SetWaitObserver([this](const std::string& awaited, double seconds) { observeWait(awaited, seconds); });

    const bool writing = !options.verifyOnly;
    if (writing) {
        const Outcome guarded = guardBitstream();
        if (!guarded.ok)
            return guarded;
    }
    const std::vector<FirmwareSet::Image>& images = set.images();
    for (size_t i = 0; i < images.size(); ++i) {
        const FirmwareSet::Image& image = images[i];
        const int index = static_cast<int>(i);
        if (rom.Ftdi()->StopRequested()) {
            ProgressReporter::error(TRom::stoppedBetweenCommands);
            Outcome stopped;
            stopped.stopped = true;
            stopped.failedImage = index;
            return finished(stopped);
        }
        if (options.setOffset)
            options.setOffset(image.offset);
        else
            rom.SetOffset(image.offset);
        const std::string starting = "Starting programming of " + image.path + "\n";
        if (writing && options.announceBeforeLoad)
            ProgressReporter::info(starting);
        // Handed over, not copied: the run holds each image once.
        if (!rom.SetImage(std::move(data[i])))
            return failProgramming(index, Stage::Load, options.hintAfterLoadFailure);
        if (writing && !options.announceBeforeLoad)
            ProgressReporter::info(starting);

        if (writing) {
            Stage stage = Stage::Erase;
            rom.SetProgressObserver([&](TRom::Phase phase, double done) {
                const bool erasing = phase == TRom::Phase::Erasing;
                stage = erasing ? Stage::Erase : Stage::Program;
                observe(index, erasing ? 0 : 1, erasing ? "Erasing" : "Programming", done);
            });
            const int programmed = options.changedOnly ? rom.ProgramChanged(false) : rom.Program(false);
            rom.SetProgressObserver(nullptr);
            if (!programmed)
                return failProgramming(index, stage, true);
        }
        if (options.verify || options.verifyOnly) {
            if (!verifyImage(index, outcome)) {
                if (writing) {
                    Outcome failed = failProgramming(index, Stage::Verify, !outcome.verify.readOk);
                    failed.verify = outcome.verify;
                    return failed;
                }
                outcome.ok = false;
                outcome.failedImage = index;
                outcome.failedStage = Stage::Verify;
                if (rom.Ftdi()->StopRequested()) {
                    outcome.stopped = true;
                    return finished(outcome);
                }
            }
        }
        if (writing)
            ProgressReporter::info("Finished programming of " + image.path + "\n");
    }
    if (writing) {
        ProgressReporter::info("\n");
        ProgressReporter::info(complete);
    }
    return finished(outcome);
}
