#include "composition/DriverSelection.h"

#include "base/ConsoleSink.h"

#include "emulator/CallTrace.h"
#include "emulator/VirtualClock.h"
#include "emulator/d2xx/EmulatedDriver.h"

#ifdef _WIN32
#include "device/d2xx/Ftd2xxDllDriver.h"
#else
#include "device/d2xx/LibFtdiDriver.h"
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace {

using emu::BenchConfig;

const char* const deviceVariable = "PRAVEL_DEVICE";

#ifdef _WIN32
const char* const platformDevice = "ftd2xx";
#else
const char* const platformDevice = "libftdi";
#endif

DriverSelection::Environment orProcess(const DriverSelection::Environment& environment)
{
    if (environment)
        return environment;
    return [](const char* name) -> const char* { return std::getenv(name); };
}

std::shared_ptr<d2xx::D2xxDriver> hardwareDriver(const std::string& name, std::string& error)
{
#ifdef _WIN32
    if (name == "ftd2xx")
        return std::make_shared<d2xx::Ftd2xxDllDriver>();
    error = std::string(deviceVariable) + "=" + name + " is not available on Windows; use ftd2xx or emulated";
#else
    if (name == "libftdi")
        return std::make_shared<d2xx::LibFtdiDriver>();
    error = std::string(deviceVariable) + "=" + name + " is only available on Windows; use libftdi or emulated";
#endif
    return nullptr;
}

} // namespace

const std::vector<std::string>& DriverSelection::devices()
{
    static const std::vector<std::string> all = {emulatedDevice, "libftdi", "ftd2xx"};
    return all;
}

std::string DriverSelection::refusal(const std::string& device)
{
    if (std::find(devices().begin(), devices().end(), device) != devices().end())
        return {};
    return "is not a known device; accepted values: " + BenchConfig::listed(devices());
}

std::string DriverSelection::deviceOf(const Request& request, const Environment& environment)
{
    if (!request.device.empty())
        return request.device;
    const char* variable = orProcess(environment)(deviceVariable);
    return variable && *variable ? variable : platformDevice;
}

DriverSelection DriverSelection::choose(const Request& request, std::string& error, const Environment& environment)
{
    error.clear();
    const Environment getenv = orProcess(environment);
    const std::string device = deviceOf(request, getenv);
    const BenchConfig::Lookup bench =
        BenchConfig::layered(BenchConfig::options(request.bench),
                             BenchConfig::environment(d2xx::EmulatedDriver::kPrefix, getenv));

    if (device == emulatedDevice) {
        BenchConfig config;
        std::shared_ptr<d2xx::EmulatedDriver> driver = d2xx::EmulatedDriver::create(bench, config, error);
        return driver ? emulated(driver, nullptr, config.instrument.timed) : DriverSelection();
    }

    if (const std::string why = refusal(device); !why.empty()) {
        const BenchConfig::Setting given{device, request.device.empty() ? deviceVariable : "--device"};
        error = given.quoted() + " " + why;
        return {};
    }
    // A forgotten PRAVEL_DEVICE=emulated would otherwise reach the real
    // bridge without anyone noticing.
    for (const std::string& name : BenchConfig::names()) {
        if (const auto ignored = bench(name))
            ConsoleSink::error("Warning: " + ignored->source + " is ignored because " + deviceVariable + " is " +
                               device + ", not emulated\n");
    }
    DriverSelection selection;
    selection.chosen = hardwareDriver(device, error);
    selection.hardware = device;
    return selection;
}

DriverSelection DriverSelection::emulated(std::shared_ptr<d2xx::EmulatedDriver> instrument,
                                          std::shared_ptr<d2xx::D2xxDriver> front, bool timed)
{
    DriverSelection selection;
    selection.chosen = front ? std::move(front) : std::shared_ptr<d2xx::D2xxDriver>(instrument);
    selection.instrument = std::move(instrument);
    selection.timed = timed;
    return selection;
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

std::shared_ptr<d2xx::D2xxDriver> DriverSelection::driverFor(const std::string&) const
{
    if (hardware.empty())
        return chosen;
    std::string error;
    return hardwareDriver(hardware, error);
}

Clock& DriverSelection::clockFor(const std::string& serialNumber) const
{
    if (!instrument)
        return Clock::system();
    const int index = instrument->indexOf(serialNumber);
    return index < 0 ? instrument->clock() : instrument->clock(static_cast<size_t>(index));
}

double DriverSelection::secondsFor(const std::string& serialNumber) const
{
    if (!instrument)
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    const int index = instrument->indexOf(serialNumber);
    const emu::VirtualClock& clock = index < 0 ? instrument->clock() : instrument->clock(static_cast<size_t>(index));
    return static_cast<double>(clock.nowNanoseconds()) / 1e9;
}
