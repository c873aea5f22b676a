#pragma once

#include "base/Clock.h"

#include <cstdint>

namespace emu {
class VirtualClock;
}

// Real time for an entry point that is watched as it runs (the window), over
// the emulated instrument: every sleep brings the instrument's clock up to
// the real time gone by, so the bridge's own timers (the latency timer, a
// timed flash's busy time) run out when real ones would. The emulated clock
// never runs behind; it may run ahead by what the bridge charged.
class FollowingClock final : public Clock
{
public:
    explicit FollowingClock(emu::VirtualClock& follower);

    void sleepMicroseconds(uint64_t microseconds) override;
    uint64_t nowNanoseconds() const override;

private:
    emu::VirtualClock& follower;
    uint64_t realStart;
    uint64_t emulatedStart;
};
