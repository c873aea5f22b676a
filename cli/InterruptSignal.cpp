#include "cli/InterruptSignal.h"

#include <csignal>

namespace {

// Touched from the signal handler: must not need a lock.
static_assert(ATOMIC_BOOL_LOCK_FREE == 2, "the interrupt flag must be lock-free");
std::atomic<bool> interrupted{false};

extern "C" void onInterrupt(int)
{
    interrupted.store(true);
    // The next Ctrl-C is not caught: an operation that never reaches a
    // transaction boundary can still be stopped.
    std::signal(SIGINT, SIG_DFL);
}

} // namespace

void InterruptSignal::install()
{
    std::signal(SIGINT, onInterrupt);
}

const std::atomic<bool>& InterruptSignal::flag()
{
    return interrupted;
}

bool InterruptSignal::raised()
{
    return interrupted.load();
}
