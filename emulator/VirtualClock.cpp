#include "emulator/VirtualClock.h"

#include <algorithm>
#include <thread>

namespace emu {

std::chrono::nanoseconds VirtualClock::now() const
{
    uint64_t at = nowNanoseconds();
    if (pacing)
        at = std::max(at, emulatedAtPacing + realNanosecondsSincePacing());
    return std::chrono::nanoseconds(at);
}

void VirtualClock::keepPace(uint64_t reached) const
{
    const auto due = realAtPacing + std::chrono::nanoseconds(reached - emulatedAtPacing);
    while (std::chrono::steady_clock::now() < due)
        std::this_thread::sleep_until(due);
}

void VirtualClock::paceToRealTime()
{
    realAtPacing = std::chrono::steady_clock::now();
    emulatedAtPacing = nowNanoseconds();
    pacing = true;
}

uint64_t VirtualClock::realNanosecondsSincePacing() const
{
    const auto passed = std::chrono::steady_clock::now() - realAtPacing;
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(passed).count());
}

void VirtualClock::catchUp()
{
    if (!pacing)
        return;
    const uint64_t due = emulatedAtPacing + realNanosecondsSincePacing();
    uint64_t seen = nowNanoseconds();
    while (seen < due && !current.compare_exchange_weak(seen, due, std::memory_order_relaxed)) {
    }
}

} // namespace emu
