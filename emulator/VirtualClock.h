#pragma once

#include "base/Clock.h"

#include <atomic>
#include <cstdint>

namespace emu {

// Emulated time. Sleeps of the device code and the cost of each emulated
// operation (USB transfers, SPI clocks, flash busy time) advance it; nothing
// waits in real time.
class VirtualClock final : public Clock
{
public:
    void sleepMicroseconds(uint64_t microseconds) override { advanceNanoseconds(microseconds * 1000); }

    uint64_t nowNanoseconds() const override { return now.load(std::memory_order_relaxed); }
    void advanceNanoseconds(uint64_t nanoseconds) { now.fetch_add(nanoseconds, std::memory_order_relaxed); }

private:
    std::atomic<uint64_t> now{0};
};

} // namespace emu
