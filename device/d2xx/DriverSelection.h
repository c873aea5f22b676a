#pragma once

#include "base/Clock.h"
#include "device/d2xx/D2xxDriver.h"

#include <functional>
#include <memory>
#include <string>

namespace d2xx {

class EmulatedDriver;

// The entry points' one choice of driver, and what comes with it: the clock
// the device classes sleep on (real time, or the emulated instrument's own),
// and for the emulated instrument a handle to its call trace and its time.
// Chosen from the environment:
//   PRAVEL_DEVICE          emulated | libftdi | ftd2xx (default: libftdi on
//                          Linux, ftd2xx on Windows)
//   PRAVEL_EMULATED_CHIP   mt25q128 | s25fl256 | arty | corrupted | unknown | unplugged
//   PRAVEL_EMULATED_IMAGE  file that keeps the emulated flash's contents
//   PRAVEL_EMULATED_FAULTS the emulated fault plan
//   PRAVEL_EMULATED_TIMING instant (default) | typical | worst: the emulated
//                          flash's busy times and the bridge's USB timing
// Anything unknown is an error naming the accepted values; there is never a
// fall-back to another driver.
class DriverSelection
{
public:
    using Lookup = std::function<const char*(const char*)>;

    // Empty (false) with `error` set on a value it does not know.
    static DriverSelection fromEnvironment(std::string& error);
    // The same, reading variables through `lookup` (nullptr: unset).
    static DriverSelection fromLookup(const Lookup& lookup, std::string& error);
    // An emulated instrument made by the caller, reached through `front`
    // (a wrapper around it) when given.
    static DriverSelection emulated(std::shared_ptr<EmulatedDriver> instrument,
                                    std::shared_ptr<D2xxDriver> front = nullptr, bool timed = false);

    // The emulated chips PRAVEL_EMULATED_CHIP takes, for a tool's own option.
    static bool isKnownChip(const std::string& name);
    static std::string chipNames();

    explicit operator bool() const { return chosen != nullptr; }
    const std::shared_ptr<D2xxDriver>& driver() const { return chosen; }
    Clock& clock() const;

    bool isEmulated() const { return instrument != nullptr; }
    // The emulated driver keeps every call; a long run switches that off.
    void setCallTrace(bool enabled) const;
    // Whether the emulated flash takes its datasheet times (not instant).
    bool timedEmulation() const { return timed; }
    // Emulated time so far; 0 on real hardware.
    double emulatedSeconds() const;

private:
    std::shared_ptr<D2xxDriver> chosen;
    std::shared_ptr<EmulatedDriver> instrument; // opaque outside the selection
    bool timed = false;
};

} // namespace d2xx
