#pragma once

#include "base/Clock.h"
#include "device/d2xx/D2xxDriver.h"

#include <functional>
#include <memory>
#include <string>

namespace FwLoaderGui {

// How the processor reaches each instrument on the bench, by the bridge's
// USB serial number: the driver a run on it takes (runs on different
// bridges never wait for one another) and the clock it runs on (on the
// emulated bench each instrument has its own). The entry point fills it from
// its driver choice; what it leaves unset falls back to the processor's own
// driver and clock.
struct InstrumentAccess
{
    std::function<std::shared_ptr<d2xx::D2xxDriver>(const std::string& serialNumber)> driverFor;
    std::function<Clock&(const std::string& serialNumber)> clockFor;
    // As the run record names it: "emulated", "libftdi", "ftd2xx"; empty: "default".
    std::string device;
};

} // namespace FwLoaderGui
