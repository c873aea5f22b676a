#pragma once

#include "base/Clock.h"
#include "device/d2xx/D2xxDriver.h"
#include "emulator/config/BenchConfig.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace d2xx {
class EmulatedDriver;
}

// The entry points' one choice of driver, and what comes with it: the clock
// the device classes sleep on (real time, or the emulated instrument's own),
// and for the emulated instrument a handle to its call trace and its time.
// Chosen from the environment, under what the entry point asks for itself:
//   PRAVEL_DEVICE          emulated | libftdi | ftd2xx (default: libftdi on
//                          Linux, ftd2xx on Windows)
//   PRAVEL_EMULATED_*      the emulated bench (emu::BenchConfig): CHIP,
//                          IMAGE, TIMING, FAULTS, BOOT
// Anything unknown is an error naming the accepted values; there is never a
// fall-back to another driver.
class DriverSelection
{
public:
    // Reads one variable of the environment, as std::getenv does.
    using Environment = std::function<const char*(const char* name)>;
    static constexpr const char* emulatedDevice = "emulated";

    // What an entry point asks for over the environment; what it leaves
    // empty comes from there.
    struct Request
    {
        std::string device;              // over PRAVEL_DEVICE
        emu::BenchConfig::Settings bench; // by setting name, over PRAVEL_EMULATED_*
    };

    // Empty (false) with `error` set on a value it does not know.
    static DriverSelection choose(const Request& request, std::string& error, const Environment& environment = nullptr);
    static DriverSelection fromEnvironment(std::string& error) { return choose({}, error); }
    // An emulated instrument made by the caller, reached through `front`
    // (a wrapper around it) when given.
    static DriverSelection emulated(std::shared_ptr<d2xx::EmulatedDriver> instrument,
                                    std::shared_ptr<d2xx::D2xxDriver> front = nullptr, bool timed = false);

    // The devices PRAVEL_DEVICE takes, for every check, message and help text.
    static const std::vector<std::string>& devices();
    // Empty when `device` is one of them, else the words that refuse it.
    static std::string refusal(const std::string& device);
    // The device `request` comes to: its own, else PRAVEL_DEVICE, else the platform's.
    static std::string deviceOf(const Request& request, const Environment& environment = nullptr);

    explicit operator bool() const { return chosen != nullptr; }
    const std::shared_ptr<d2xx::D2xxDriver>& driver() const { return chosen; }
    Clock& clock() const;

    bool isEmulated() const { return instrument != nullptr; }
    // The emulated driver keeps every call; a long run switches that off.
    void setCallTrace(bool enabled) const;
    // Whether the emulated flash takes its datasheet times (not instant).
    bool timedEmulation() const { return timed; }
    // Emulated time so far; 0 on real hardware.
    double emulatedSeconds() const;

    // For a run on the instrument with this USB serial number (several run
    // at once): the driver its TFtdi takes (the emulated bench itself, or a
    // hardware driver of its own, so that runs on different bridges never
    // wait for one another), the clock it sleeps on (that emulated
    // instrument's own: instruments side by side do not add up their
    // times) and the time now on that clock, in seconds.
    std::shared_ptr<d2xx::D2xxDriver> driverFor(const std::string& serialNumber) const;
    Clock& clockFor(const std::string& serialNumber) const;
    double secondsFor(const std::string& serialNumber) const;

private:
    std::shared_ptr<d2xx::D2xxDriver> chosen;
    std::shared_ptr<d2xx::EmulatedDriver> instrument; // opaque outside the selection
    bool timed = false;
    std::string hardware; // the hardware driver's name; empty when emulated
};
