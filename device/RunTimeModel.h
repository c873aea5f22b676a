#pragma once

#include "device/FlashChip.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// How long a programming run takes, stage by stage (erase, program, verify
// of each image), and how long it still has to go. Each stage is weighed by
// its expected time: the part's datasheet busy times, SPI wire time at
// 15 MHz and the USB exchanges around each command. As the run goes the
// estimate is corrected by what it measures: where between its typical and
// its maximum busy times this part runs (learned on the erase, applied to
// the programming too: a slow part is slow at both), and how much slower
// than the wire the bridge and its host are (learned on the read-back, or
// on the programming once the part's pace is known). The stage under way
// goes by its own rate as it advances.
class RunTimeModel
{
public:
    enum class Kind { Erase, Program, Verify };

    struct Stage
    {
        Kind kind;
        uint64_t bytes; // of the image the stage works through
    };

    RunTimeModel(const FlashChip& chip, std::vector<Stage> stages);

    // Stage `index` is `done` (0 to 1) through at `seconds` into the run.
    // Stages come in their order; a stage is over when the next one starts.
    void update(size_t index, double done, double seconds);
    // Time goes on with no step forward (a long wait for the flash).
    void advanceTo(double seconds);

    // Seconds the run still takes; negative until a stage has measured enough
    // to go by.
    double secondsLeft() const;
    // The run's share done by time: what has passed against what has passed
    // and what is still to come. Before anything is measured, by the
    // expected times alone.
    double runDone() const;

    // The expected time of a stage at the part's typical times, before
    // anything is measured.
    double expectedSeconds(size_t index) const;

private:
    // Per unit (an erase sector, a program page, a byte read back): the part
    // that is wire and USB time, and the part that is the flash being busy,
    // at its typical and at its maximum times.
    struct UnitCost
    {
        double transfer = 0;
        double busyTypical = 0;
        double busyMaximum = 0;
    };
    UnitCost unitCost(Kind kind) const;
    double busy(const UnitCost& cost) const;
    double units(size_t index) const;
    // Units under way beyond what a stage reports done.
    double lead(size_t index) const;
    // What a stage takes after its last unit is through.
    double tail(size_t index) const;
    // A unit's expected seconds with the corrections learned so far.
    double perUnit(Kind kind) const;
    // Fits the part's pace and the host's factor to what has been measured.
    void learn();

    FlashChip chip;
    std::vector<Stage> stages;
    std::vector<double> measuredSeconds; // per stage, as far as it has gone
    std::vector<double> measuredUnits;
    size_t current = 0;
    double currentUnits = 0; // of the stage under way, done or under way
    double reported = 0;     // the share it reported done last
    double elapsed = 0;
    double stageStart = 0;
    double lastAdvance = 0; // when the stage under way last moved on
    double firstAdvance = 0;
    double firstAdvanceUnits = 0;
    unsigned advances = 0;
    bool started = false;
    bool known = false;
    // 0: every busy time typical, 1: every one at its maximum; below 0, a
    // share of the typical time (-0.5: half of it).
    double pace = 0;
    // Wire and USB time as measured against as modelled.
    double hostFactor = 1;
};
