#include "emulator/ftd2xx/StandInBridge.h"

#include "emulator/CallTrace.h"
#include "emulator/VirtualClock.h"
#include "emulator/config/BenchConfig.h"
#include "emulator/d2xx/EmulatedDriver.h"

#include <windows.h>

#include <cstring>
#include <iostream>

namespace {

// Every PRAVEL_EMULATED_* variable as NAME=value lines, sorted as the
// environment block keeps them.
std::string emulatedVariables()
{
    const char* const prefix = d2xx::EmulatedDriver::kPrefix;
    std::string found;
    char* block = GetEnvironmentStringsA();
    if (!block)
        return found;
    for (const char* entry = block; *entry; entry += std::strlen(entry) + 1)
        if (std::strncmp(entry, prefix, std::strlen(prefix)) == 0)
            found.append(entry).push_back('\n');
    FreeEnvironmentStringsA(block);
    return found;
}

} // namespace

StandInBridge& StandInBridge::instance()
{
    static StandInBridge bridge;
    return bridge;
}

std::shared_ptr<d2xx::D2xxDriver> StandInBridge::driver()
{
    std::lock_guard<std::mutex> lock(mutex);
    const std::string variables = emulatedVariables();
    if (openHandles.empty() && (variables != builtFrom || (!bridge && reportedError.empty()))) {
        builtFrom = variables;
        bridge.reset();
        reportedError.clear();
        std::string error;
        emu::BenchConfig bench;
        const auto settings = emu::BenchConfig::environment(d2xx::EmulatedDriver::kPrefix);
        bridge = d2xx::EmulatedDriver::create(settings, bench, error);
        if (!bridge) {
            reportedError = error.empty() ? "no emulated bridge" : error;
            std::cerr << "FTD2XX.dll (emulated): " << reportedError << "\n";
            return nullptr;
        }
        // Nobody reads the trace here, and a long write would keep it all.
        bridge->trace().setEnabled(false);
        realStart = std::chrono::steady_clock::now();
        virtualStartNs = bridge->clock().nowNanoseconds();
    }
    if (!bridge)
        return nullptr;

    // Emulated time never runs behind real time: a flash busy for 2 ms is
    // done after the caller slept 2 ms.
    const auto realNs = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - realStart);
    const uint64_t due = virtualStartNs + static_cast<uint64_t>(realNs.count());
    emu::VirtualClock& clock = bridge->clock();
    if (clock.nowNanoseconds() < due)
        clock.advanceNanoseconds(due - clock.nowNanoseconds());
    return bridge;
}

void StandInBridge::opened(d2xx::FT_HANDLE handle)
{
    std::lock_guard<std::mutex> lock(mutex);
    openHandles.insert(handle);
}

void StandInBridge::closed(d2xx::FT_HANDLE handle)
{
    std::lock_guard<std::mutex> lock(mutex);
    openHandles.erase(handle);
}
