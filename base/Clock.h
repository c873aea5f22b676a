#pragma once

#include <cstdint>

// Every sleep of the device code goes through here, so the emulator can run
// them on virtual time.
class Clock
{
public:
    virtual ~Clock() = default;

    // Full length: a sleep cut short resumes for the time that remains.
    virtual void sleepMicroseconds(uint64_t microseconds) = 0;

    // Time on this clock, from an arbitrary start: for measuring how long
    // something took. By default the real time's steady clock.
    virtual uint64_t nowNanoseconds() const;

    // Real time.
    static Clock& system();
};
