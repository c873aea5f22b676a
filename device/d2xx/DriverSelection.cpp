#include "device/d2xx/DriverSelection.h"

#include "device/d2xx/EmulatedDriver.h"
#include "emulator/FaultPlan.h"
#include "emulator/FlashPart.h"
#include "emulator/CallTrace.h"
#include "emulator/VirtualClock.h"

#ifdef _WIN32
#include "device/d2xx/Ftd2xxDllDriver.h"
#else
#include "device/d2xx/LibFtdiDriver.h"
#endif

#include <cstdlib>
#include <iostream>

namespace d2xx {
namespace {

// The chip name that stands for "no bridge on the bus at all".
const char* const unpluggedChip = "unplugged";

std::string valueOf(const DriverSelection::Lookup& lookup, const char* name)
{
    const char* value = lookup ? lookup(name) : nullptr;
    return value ? value : "";
}

DriverSelection emulatedDriver(const DriverSelection::Lookup& lookup, std::string& error)
{
    EmulatedDriverOptions options;

    const std::string chip = valueOf(lookup, "PRAVEL_EMULATED_CHIP");
    if (chip == unpluggedChip) {
        options.bridgeAttached = false;
    } else if (!chip.empty()) {
        if (!DriverSelection::isKnownChip(chip)) {
            error = "PRAVEL_EMULATED_CHIP=\"" + chip + "\" is not a known chip; accepted values: " +
                    DriverSelection::chipNames();
            return {};
        }
        options.instrument.chip = chip;
    }

    options.instrument.imagePath = valueOf(lookup, "PRAVEL_EMULATED_IMAGE");

    const std::string timing = valueOf(lookup, "PRAVEL_EMULATED_TIMING");
    if (timing == "typical" || timing == "worst") {
        options.instrument.timed = true;
        options.instrument.worst = timing == "worst";
    } else if (!timing.empty() && timing != "instant") {
        error = "PRAVEL_EMULATED_TIMING=\"" + timing + "\" is not a known timing; accepted values: instant, typical, worst";
        return {};
    }

    const std::string faults = valueOf(lookup, "PRAVEL_EMULATED_FAULTS");
    if (!faults.empty()) {
        std::string parseError;
        if (!emu::FaultPlan::parse(faults, options.faults, parseError)) {
            error = "PRAVEL_EMULATED_FAULTS=\"" + faults + "\": " + parseError;
            return {};
        }
        // The flash-side faults belong to the instrument itself.
        options.instrument.stuckBusy = options.faults.stuckBusy;
        options.instrument.flippedAddresses = options.faults.flippedAddresses;
    }

    std::string createError;
    std::shared_ptr<EmulatedDriver> driver = EmulatedDriver::create(options, createError);
    if (!driver) {
        error = "emulated instrument: " + createError;
        return {};
    }
    return DriverSelection::emulated(driver, nullptr, options.instrument.timed);
}

std::shared_ptr<D2xxDriver> hardwareDriver(const std::string& name, std::string& error)
{
#ifdef _WIN32
    if (name == "ftd2xx")
        return std::make_shared<Ftd2xxDllDriver>();
    error = "PRAVEL_DEVICE=" + name + " is not available on Windows; use ftd2xx or emulated";
#else
    if (name == "libftdi")
        return std::make_shared<LibFtdiDriver>();
    error = "PRAVEL_DEVICE=" + name + " is only available on Windows; use libftdi or emulated";
#endif
    return nullptr;
}

} // namespace

DriverSelection DriverSelection::fromLookup(const Lookup& lookup, std::string& error)
{
    error.clear();
#ifdef _WIN32
    const std::string platformDefault = "ftd2xx";
#else
    const std::string platformDefault = "libftdi";
#endif
    std::string device = valueOf(lookup, "PRAVEL_DEVICE");
    if (device.empty())
        device = platformDefault;

    if (device == "emulated")
        return emulatedDriver(lookup, error);

    if (device != "libftdi" && device != "ftd2xx") {
        error = "PRAVEL_DEVICE=\"" + device + "\" is not a known device; accepted values: emulated, libftdi, ftd2xx";
        return {};
    }
    // A forgotten PRAVEL_DEVICE=emulated would otherwise reach the real
    // bridge without anyone noticing.
    for (const char* name :
         {"PRAVEL_EMULATED_CHIP", "PRAVEL_EMULATED_IMAGE", "PRAVEL_EMULATED_FAULTS", "PRAVEL_EMULATED_TIMING"}) {
        if (!valueOf(lookup, name).empty())
            std::cerr << "Warning: " << name << " is ignored because PRAVEL_DEVICE is " << device
                      << ", not emulated\n";
    }
    DriverSelection selection;
    selection.chosen = hardwareDriver(device, error);
    return selection;
}

DriverSelection DriverSelection::fromEnvironment(std::string& error)
{
    return fromLookup([](const char* name) -> const char* { return std::getenv(name); }, error);
}

DriverSelection DriverSelection::emulated(std::shared_ptr<EmulatedDriver> instrument, std::shared_ptr<D2xxDriver> front,
                                          bool timed)
{
    DriverSelection selection;
    selection.chosen = front ? std::move(front) : std::shared_ptr<D2xxDriver>(instrument);
    selection.instrument = std::move(instrument);
    selection.timed = timed;
    return selection;
}

bool DriverSelection::isKnownChip(const std::string& name)
{
    return name == unpluggedChip || emu::FlashPart::find(name) != nullptr;
}

std::string DriverSelection::chipNames()
{
    return emu::FlashPart::acceptedNames() + ", " + unpluggedChip;
}

Clock& DriverSelection::clock() const
{
    if (instrument)
        return instrument->clock();
    return Clock::system();
}

void DriverSelection::setCallTrace(bool enabled) const
{
    if (instrument)
        instrument->trace().setEnabled(enabled);
}

double DriverSelection::emulatedSeconds() const
{
    return instrument ? static_cast<double>(instrument->clock().nowNanoseconds()) / 1e9 : 0.0;
}

} // namespace d2xx
