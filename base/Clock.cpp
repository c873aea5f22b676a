#include "base/Clock.h"

#include <chrono>
#include <thread>

namespace {

class SystemClock final : public Clock
{
public:
    void sleepMicroseconds(uint64_t microseconds) override
    {
        using std::chrono::steady_clock;
        // sleep_until resumes after an interruption until the deadline.
        const auto deadline = steady_clock::now() + std::chrono::microseconds(microseconds);
#ifdef _WIN32
        // Windows sleeps in timer ticks of up to 15.6 ms: a 100 us poll would
        // last a whole tick, and a one-second read wait made of 10000 polls
        // minutes. Sleep only while more than a tick remains, yield after.
        constexpr auto tick = std::chrono::milliseconds(16);
        for (auto now = steady_clock::now(); now < deadline; now = steady_clock::now()) {
            if (deadline - now > tick)
                std::this_thread::sleep_until(deadline - tick);
            else
                std::this_thread::yield();
        }
#else
        while (steady_clock::now() < deadline)
            std::this_thread::sleep_until(deadline);
#endif
    }
};

} // namespace

uint64_t Clock::nowNanoseconds() const
{
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
}

Clock& Clock::system()
{
    static SystemClock clock;
    return clock;
}
