#include "device/RunTimeModel.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

// SPI at 15 MHz, a byte in 0.53 us.
constexpr double kSpiBytesPerSecond = 15e6 / 8;
// USB 2.0 high speed: a write goes out at the next microframe, a reply
// comes back in the one after.
constexpr double kMicroframeSeconds = 125e-6;
constexpr double kRoundTripSeconds = 2 * kMicroframeSeconds;
// A sector erase: its write enable and its command in a USB write each, and
// the status poll that finds it done.
constexpr double kEraseCommandSeconds = 3 * kMicroframeSeconds;
// A page on the wire: write enable, opcode, three address bytes, the page
// and its status read. Pages go out up to 128 per USB write, each batch with
// its round trip.
constexpr double kPageWireBytes = 1 + 4 + 256 + 2;
constexpr double kPagesPerBatch = 128;
// The read-back: 64 KiB per command, a round trip each; the last chunk's
// bytes still cross the bus after they were clocked in (high-speed bulk,
// 512-byte packets ten to a microframe).
constexpr double kReadChunkBytes = 65536;
constexpr double kUsbBulkBytesPerSecond = 40e6;
// Enough measured to go by: a sector, a few batches of pages, a chunk.
constexpr double kEnoughSectors = 1;
constexpr double kEnoughPages = 16;
constexpr double kEnoughBytes = kReadChunkBytes;
// A part beyond three times its maximum fails its wait; the host may be
// far slower than the model's USB, hardly faster.
constexpr double kMaxPace = 3;
constexpr double kMinHostFactor = 0.5;
constexpr double kMaxHostFactor = 50;

double seconds(uint32_t microseconds) { return microseconds / 1e6; }

} // namespace

RunTimeModel::RunTimeModel(const FlashChip& chip, std::vector<Stage> stages)
    : chip(chip), stages(std::move(stages)), measuredSeconds(this->stages.size(), 0.0),
      measuredUnits(this->stages.size(), 0.0)
{
}

RunTimeModel::UnitCost RunTimeModel::unitCost(Kind kind) const
{
    UnitCost cost;
    switch (kind) {
    case Kind::Erase:
        cost.transfer = kEraseCommandSeconds;
        cost.busyTypical = seconds(chip.sectorErase.typicalMicroseconds);
        cost.busyMaximum = seconds(chip.sectorErase.maximumMicroseconds);
        break;
    case Kind::Program:
        cost.transfer = kPageWireBytes / kSpiBytesPerSecond + kRoundTripSeconds / kPagesPerBatch;
        cost.busyTypical = seconds(chip.pageProgram.typicalMicroseconds);
        cost.busyMaximum = seconds(chip.pageProgram.maximumMicroseconds);
        break;
    case Kind::Verify:
        cost.transfer = 1 / kSpiBytesPerSecond + kRoundTripSeconds / kReadChunkBytes;
        break;
    }
    return cost;
}

double RunTimeModel::units(size_t index) const
{
    const Stage& stage = stages[index];
    const double bytes = static_cast<double>(std::max<uint64_t>(stage.bytes, 1));
    switch (stage.kind) {
    case Kind::Erase:
        return std::ceil(bytes / std::max(chip.sectorSize, 1));
    case Kind::Program:
        return std::ceil(bytes / std::max(chip.pageSize, 1));
    case Kind::Verify:
        break;
    }
    return bytes;
}

double RunTimeModel::busy(const UnitCost& cost) const
{
    // Faster than typical: a share of it; slower: on the way to the maximum.
    if (pace < 0)
        return cost.busyTypical * (1 + pace);
    return cost.busyTypical + pace * (cost.busyMaximum - cost.busyTypical);
}

double RunTimeModel::perUnit(Kind kind) const
{
    const UnitCost cost = unitCost(kind);
    return hostFactor * cost.transfer + busy(cost);
}

double RunTimeModel::expectedSeconds(size_t index) const
{
    const UnitCost cost = unitCost(stages[index].kind);
    return units(index) * (cost.transfer + cost.busyTypical) + tail(index);
}

double RunTimeModel::tail(size_t index) const
{
    if (stages[index].kind != Kind::Verify || (started && index == current && reported >= 1))
        return 0;
    const double last = std::fmod(units(index), kReadChunkBytes);
    return hostFactor * ((last > 0 ? last : kReadChunkBytes) / kUsbBulkBytesPerSecond + kMicroframeSeconds);
}

double RunTimeModel::lead(size_t index) const
{
    // The read-back sends each chunk's command before it takes the reply
    // before it: when a chunk is reported, the next one is under way.
    return stages[index].kind == Kind::Verify ? std::min(kReadChunkBytes, units(index)) : 0;
}

void RunTimeModel::update(size_t index, double done, double at)
{
    if (index >= stages.size())
        return;
    if (!started || index != current) {
        started = true;
        current = index;
        reported = 0;
        stageStart = at;
        lastAdvance = at;
        currentUnits = 0;
        advances = 0;
    }
    reported = std::max(reported, done);
    const double reached = done > 0 ? std::min(units(index), std::clamp(done, 0.0, 1.0) * units(index) + lead(index)) : 0;
    if (reached > currentUnits) {
        if (advances++ == 0) {
            firstAdvance = at;
            firstAdvanceUnits = reached;
        }
        currentUnits = reached;
        lastAdvance = at;
        // From the first step on where there are two: the first may carry
        // what came before the stage's own work.
        if (advances > 1) {
            measuredSeconds[current] = at - firstAdvance;
            measuredUnits[current] = reached - firstAdvanceUnits;
        } else {
            measuredSeconds[current] = at - stageStart;
            measuredUnits[current] = reached;
        }
    }
    elapsed = at;
    learn();
}

void RunTimeModel::advanceTo(double at)
{
    elapsed = std::max(elapsed, at);
}

void RunTimeModel::learn()
{
    double sums[3][2] = {}; // per kind: seconds, units
    for (size_t i = 0; i < stages.size(); ++i) {
        double* sum = sums[static_cast<int>(stages[i].kind)];
        sum[0] += measuredSeconds[i];
        sum[1] += measuredUnits[i];
    }
    const auto enough = [&](Kind kind, double wanted) {
        const double* sum = sums[static_cast<int>(kind)];
        if (sum[0] <= 0 || sum[1] <= 0)
            return false;
        // A stage smaller than `wanted` counts once it is through.
        double whole = 0;
        for (size_t i = 0; i < stages.size(); ++i)
            if (stages[i].kind == kind)
                whole += units(i);
        return sum[1] >= std::min(wanted, whole);
    };
    const auto rate = [&](Kind kind) {
        const double* sum = sums[static_cast<int>(kind)];
        return sum[0] / sum[1];
    };
    // The host first: the read-back is wire and USB alone.
    if (enough(Kind::Verify, kEnoughBytes)) {
        hostFactor = std::clamp(rate(Kind::Verify) / unitCost(Kind::Verify).transfer, kMinHostFactor, kMaxHostFactor);
        known = true;
    }
    // The part's pace from the erase, where its busy time is nearly all
    // there is; else from the programming.
    for (Kind kind : {Kind::Erase, Kind::Program}) {
        if (!enough(kind, kind == Kind::Erase ? kEnoughSectors : kEnoughPages))
            continue;
        const UnitCost cost = unitCost(kind);
        const double measured = rate(kind) - hostFactor * cost.transfer;
        if (measured < cost.busyTypical && cost.busyTypical > 0)
            pace = std::max(measured / cost.busyTypical - 1, -1.0);
        else if (cost.busyMaximum > cost.busyTypical)
            pace = std::min((measured - cost.busyTypical) / (cost.busyMaximum - cost.busyTypical), kMaxPace);
        known = true;
        break;
    }
}

double RunTimeModel::secondsLeft() const
{
    if (!known)
        return -1;
    double left = 0;
    if (started) {
        const double model = perUnit(stages[current].kind);
        const double share = currentUnits / units(current);
        // The stage under way by its own rate, the more the further it is.
        double unit = model;
        if (measuredUnits[current] > 0)
            unit = share * measuredSeconds[current] / measuredUnits[current] + (1 - share) * model;
        // Time spent since the last step forward is part of the next step.
        left = std::max(0.0, (units(current) - currentUnits) * unit + tail(current) - (elapsed - lastAdvance));
    }
    for (size_t i = started ? current + 1 : 0; i < stages.size(); ++i)
        left += units(i) * perUnit(stages[i].kind) + tail(i);
    return left;
}

double RunTimeModel::runDone() const
{
    const double left = secondsLeft();
    if (left >= 0)
        return elapsed + left > 0 ? elapsed / (elapsed + left) : 1.0;
    double total = 0, done = 0;
    for (size_t i = 0; i < stages.size(); ++i) {
        const double expected = expectedSeconds(i);
        total += expected;
        if (started && i < current)
            done += expected;
        else if (started && i == current)
            done += currentUnits / units(i) * expected;
    }
    return total > 0 ? done / total : 0.0;
}
