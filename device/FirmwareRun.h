#pragma once

#include "device/FirmwareSet.h"
#include "device/TRom.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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
        double runDone = 0;   // 0 to 1
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
    };

    struct Outcome
    {
        bool ok = false;
        bool stopped = false;  // a stop request ended it
        int failedImage = -1;  // index into the set's images
        Stage failedStage = Stage::None;
        TRom::VerifyResult verify; // the last read-back made
        bool flashTouched = false;
        bool linkLost = false;
    };

    FirmwareRun(TRom& rom, FirmwareSet set, Options options);

    // Reads and checks every file; sends nothing to the device. Reports and
    // fails on a file that cannot be read, does not fit into the flash, is
    // empty, shares an erase sector with an earlier image or is refused by
    // the checkImage option (the last three only when writing).
    Outcome prepare();
    // prepare() unless done, then the images in order. A failure ends the
    // run, except in verifyOnly, which compares every image.
    Outcome run();

    const FirmwareSet& firmware() const { return set; }

private:
    Outcome failLoad(int index, const std::string& message);
    Outcome failProgramming(int index, Stage stage, bool hint);
    bool verifyImage(int index, Outcome& outcome);
    void observe(int index, int stageIndex, const char* verb, double done);
    // Each image weighs its size once per stage (erase, program, verify).
    uint64_t work(size_t index) const;

    TRom& rom;
    FirmwareSet set;
    Options options;
    bool prepared = false;
    std::vector<std::vector<unsigned char>> data; // handed to TRom one by one
    std::vector<uint64_t> sizes;
    uint64_t totalWork = 0;
    uint64_t workBefore = 0; // of the images before the current one
};
