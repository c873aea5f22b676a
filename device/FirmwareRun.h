#pragma once

#include "device/BitstreamReport.h"
#include "device/FirmwareSet.h"
#include "device/TRom.h"
#include "record/RunRecord.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class RunTimeModel;

// One programming run over a firmware set, the same for the window and for
// pravel-flash: every file is read and checked before the flash is touched,
// then each image in the set's order is erased and programmed (and read back
// when asked). Reports go through ProgressReporter as text; progress and the
// outcome also come back as data. Needs an identified flash (TRom::CheckMemory)
// for run(), not for prepare().
class FirmwareRun
{
public:
    static const char checkConnections[];
    static const char complete[];

    enum class Stage { None, Load, Erase, Program, Verify };

    struct Progress
    {
        std::string stage; // "Erasing pravel.srec", "Programming pravel.srec", "Verifying pravel.srec"
        double stageDone = 0; // 0 to 1
        // 0 to 1 by time (RunTimeModel): what has passed against what is
        // still to come; never goes back.
        double runDone = 0;
        double secondsLeft = -1; // negative: not known yet
        // While one wait for the flash has lasted more than a second: what it
        // awaits ("Waiting for the flash to finish erasing") and for how long.
        std::string waiting;
        double waitedSeconds = 0;
    };

    struct Options
    {
        bool verifyOnly = false;         // compare each image with the flash; nothing erased or written
        bool verify = false;             // read each image back after programming it
        bool changedOnly = false;        // program only the sectors that differ (TRom::ProgramChanged)
        bool announceBeforeLoad = false; // "Starting programming of" ahead of the image's load report
        bool hintAfterLoadFailure = true;
        uint64_t shownMismatches = UINT64_MAX; // "Verify failed on point: " lines per image
        // Moves the flash offset before each image; unset: TRom::SetOffset.
        std::function<void(uint32_t)> setOffset;
        std::function<void(const Progress&)> progress;
        // Asked about each image before anything is written: empty to go on,
        // else the line that refuses it.
        std::function<std::string(const FirmwareSet::Image&, const std::vector<unsigned char>&)> checkImage;
        // Asked before anything is erased when the bitstream going to offset 0
        // is a risk (BitstreamGuard: its CRC fails, it is encrypted, or it is
        // for another FPGA than the flash's current bitstream); `risk` names
        // it. Empty to write it all the same, else the line that refuses it.
        // Unset: refused.
        std::function<std::string(const FirmwareSet::Image&, const std::string& risk)> confirmRisk;
    };

    struct Outcome
    {
        bool ok = false;
        bool stopped = false;  // a stop request ended it
        int failedImage = -1;  // index into the set's images
        Stage failedStage = Stage::None;
        TRom::VerifyResult verify; // the last read-back made
        // An erase or program command was sent for some image; false: the
        // flash is as it was.
        bool flashTouched = false;
        // The bridge went away during the run: the front end ends its report
        // with TFtdi::linkLostMessage.
        bool linkLost = false;
    };

    FirmwareRun(TRom& rom, FirmwareSet set, Options options);
    ~FirmwareRun();

    // Reads and checks every file; sends nothing to the device. Reports and
    // fails on a file that cannot be read, does not fit into the flash, is
    // empty, shares an erase sector with an earlier image or is refused by
    // the checkImage option (the last three only when writing).
    Outcome prepare();
    // prepare() unless done, then the images in order. A failure ends the
    // run, except in verifyOnly, which compares every image.
    Outcome run();

    const FirmwareSet& firmware() const { return set; }

    // Several instruments, one set: a run takes the images another run
    // prepared (read and checked once) instead of reading the files again.
    // `source` must be prepared and never run itself: run() hands its images
    // to TRom.
    void adoptPrepared(const FirmwareRun& source);
    // After prepare() and before run(): each image's path, offset, size and SHA-256.
    std::vector<RunRecord::Image> preparedImages() const;
    // After prepare(): what the bitstream going to offset 0 risks whatever
    // the flash holds (its CRC checks fail, it is encrypted), as the guard
    // words it; empty when nothing. Whether it is for another FPGA than the
    // flash's current bitstream only run() can tell.
    std::string fileRisk() const;

private:
    Outcome failLoad(int index, const std::string& message, bool hint = true);
    // The bitstream at offset 0 through BitstreamGuard, after prepare() and
    // before the first erase: its facts reported, a risk confirmed or refused.
    Outcome guardBitstream();
    Outcome failProgramming(int index, Stage stage, bool hint);
    // What the device side of the outcome says: touched, link lost.
    Outcome finished(Outcome outcome) const;
    bool verifyImage(int index, Outcome& outcome);
    void observe(int index, int stageIndex, const char* verb, double done);
    // A wait for the flash under way (empty `awaited`: it is over).
    void observeWait(const std::string& awaited, double seconds);
    void publish();
    // Erase, program, verify per image, or verify alone.
    int stagesPerImage() const;
    void startClock();

    TRom& rom;
    FirmwareSet set;
    Options options;
    bool prepared = false;
    std::vector<std::vector<unsigned char>> data; // handed to TRom one by one
    std::vector<uint64_t> sizes;
    BitstreamReport incoming; // the bitstream going to offset 0, when writing one
    uint64_t changesBefore = 0; // TRom::ChangeCommandsSent() when the run began
    std::unique_ptr<RunTimeModel> timeModel;
    std::chrono::nanoseconds started{0};
    Progress shown; // the last published, as the next one starts from it
};
