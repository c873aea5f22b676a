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

    // Real time.
    static Clock& system();
};
