#pragma once

#include <chrono>
#include <cstdint>

// Every sleep of the device code goes through here, and every time it
// measures, so the emulator can run them on virtual time.
class Clock
{
public:
    virtual ~Clock() = default;

    // Full length: a sleep cut short resumes for the time that remains.
    virtual void sleepMicroseconds(uint64_t microseconds) = 0;

    // Monotonic: only differences between two readings mean anything.
    virtual std::chrono::nanoseconds now() const = 0;

    // Seconds from `since` (an earlier now()) to now.
    double secondsSince(std::chrono::nanoseconds since) const
    {
        return std::chrono::duration<double>(now() - since).count();
    }

    // Real time.
    static Clock& system();
};
