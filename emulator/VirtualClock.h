#pragma once

#include "base/Clock.h"

#include <atomic>
#include <chrono>
#include <cstdint>

namespace emu {

// Emulated time. Sleeps of the device code and the cost of each emulated
// operation (USB transfers, SPI clocks, flash busy time) advance it; nothing
// waits in real time unless the clock is paced.
class VirtualClock final : public Clock
{
public:
    void sleepMicroseconds(uint64_t microseconds) override { advanceNanoseconds(microseconds * 1000); }
    // Paced, never behind real time: what passed while nothing drove the
    // instrument counts already, as it will at its next call (catchUp).
    std::chrono::nanoseconds now() const override;

    uint64_t nowNanoseconds() const { return current.load(std::memory_order_relaxed); }
    // Paced, this returns once real time has caught up with the new emulated time.
    void advanceNanoseconds(uint64_t nanoseconds)
    {
        const uint64_t reached = current.fetch_add(nanoseconds, std::memory_order_relaxed) + nanoseconds;
        if (pacing)
            keepPace(reached);
    }

    // From now on emulated time keeps step with real time, for a demo that
    // shows real durations: it never runs ahead (each advance waits in real
    // time), and catchUp() brings it level where it fell behind. Once, before use.
    void paceToRealTime();
    bool paced() const { return pacing; }
    // Paced: the time the host spent outside the emulated instrument (the
    // loader's own sleeps on the real clock, its computing) passes here too.
    // Only between two emulated operations: within one, the bridge works
    // from its own readings of now.
    void catchUp();

private:
    void keepPace(uint64_t reached) const;
    uint64_t realNanosecondsSincePacing() const;

    std::atomic<uint64_t> current{0};
    bool pacing = false;
    std::chrono::steady_clock::time_point realAtPacing;
    uint64_t emulatedAtPacing = 0;
};

} // namespace emu
