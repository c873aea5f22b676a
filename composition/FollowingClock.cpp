#include "composition/FollowingClock.h"

#include "emulator/VirtualClock.h"

FollowingClock::FollowingClock(emu::VirtualClock& follower)
    : follower(follower), realStart(Clock::system().nowNanoseconds()), emulatedStart(follower.nowNanoseconds())
{
}

void FollowingClock::sleepMicroseconds(uint64_t microseconds)
{
    Clock::system().sleepMicroseconds(microseconds);
    const uint64_t due = emulatedStart + (Clock::system().nowNanoseconds() - realStart);
    const uint64_t now = follower.nowNanoseconds();
    if (now < due)
        follower.advanceNanoseconds(due - now);
}

uint64_t FollowingClock::nowNanoseconds() const
{
    return Clock::system().nowNanoseconds();
}
