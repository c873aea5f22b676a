#include "base/Clock.h"

#include <chrono>
#include <thread>

namespace {

class SystemClock final : public Clock
{
public:
    void sleepMicroseconds(uint64_t microseconds) override
    {
        // sleep_until resumes after an interruption until the deadline.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(microseconds);
        while (std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_until(deadline);
    }
};

} // namespace

Clock& Clock::system()
{
    static SystemClock clock;
    return clock;
}
