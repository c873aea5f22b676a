#pragma once

#include "device/FirmwareRun.h"

#include <QString>

#include <cstdint>
#include <string>

// What the update processor and its parts (the station batch, the
// diagnosis, the firmware directory, the instrument choice) have in common.
namespace FwLoaderGui {

inline constexpr char kAborting[] = "Aborting programming. Device not ready or file not found.\n";
inline constexpr char kProgramName[] = "pravel-fw-loader";
// How far progress moves before the window hears of it: a page at a time
// would flood the GUI thread.
inline constexpr double kProgressStep = 0.005;
// Differing bytes listed in the log per image; the verdict counts them all.
inline constexpr uint64_t kShownMismatches = 20;

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
std::string text(const QString& s);
QString fromText(const std::string& s);

// "Waiting for the flash to finish erasing: 12 s", or nothing.
QString detailOf(const FirmwareRun::Progress& progress);

// Whether `now` is worth sending to the window after `last`: a new stage, a
// step of progress, the end of a stage, a new wait or another second of it,
// the time left appearing or going.
bool worthShowing(const FirmwareRun::Progress& last, const FirmwareRun::Progress& now);

// A failure after the erase leaves the image partly written, whatever else
// is known about it.
bool touchedFlash(const FirmwareRun::Outcome& outcome);

} // namespace FwLoaderGui
