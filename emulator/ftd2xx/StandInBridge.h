#pragma once

#include "device/d2xx/D2xxDriver.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace d2xx {
class EmulatedDriver;
}

// The one emulated bridge behind the stand-in FTD2XX.dll's entry points.
// Built on first use from the PRAVEL_EMULATED_* variables (the bench's
// settings, as the loader's own emulated device reads them), and built again
// when they have changed while no handle is open, as a re-plugged bridge
// would be. Its virtual clock is kept up with real time, because the loader
// driving a DLL sleeps on the real clock.
class StandInBridge
{
public:
    static StandInBridge& instance();

    // The bridge for one call; nullptr when the variables describe none (the
    // reason went to standard error once).
    std::shared_ptr<d2xx::D2xxDriver> driver();

    void opened(d2xx::FT_HANDLE handle);
    void closed(d2xx::FT_HANDLE handle);

private:
    StandInBridge() = default;

    std::mutex mutex;
    std::string builtFrom; // the variables the bridge was built from
    std::shared_ptr<d2xx::EmulatedDriver> bridge;
    std::string reportedError;
    std::set<d2xx::FT_HANDLE> openHandles;
    std::chrono::steady_clock::time_point realStart;
    uint64_t virtualStartNs = 0;
};
