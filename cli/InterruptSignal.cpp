#include "cli/InterruptSignal.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#endif

namespace {

// Touched from the signal handler: must not need a lock.
static_assert(ATOMIC_BOOL_LOCK_FREE == 2, "the interrupt flag must be lock-free");
std::atomic<bool> interrupted{false};

#ifdef _WIN32
// Runs on a thread of its own that Windows starts for each console event.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        // The next one goes to the default handler, which ends the process:
        // an operation that never reaches a transaction boundary can still
        // be stopped.
        return interrupted.exchange(true) ? FALSE : TRUE;
    case CTRL_CLOSE_EVENT:
        // The console window is closing; Windows ends the process when this
        // returns, or after five seconds. Until then the run may stop between
        // transactions and close the port; main() returning ends it earlier.
        interrupted.store(true);
        Sleep(4500);
        return TRUE;
    default:
        return FALSE;
    }
}
#else
extern "C" void onInterrupt(int)
{
    interrupted.store(true);
    // The next Ctrl-C is not caught: an operation that never reaches a
    // transaction boundary can still be stopped.
    std::signal(SIGINT, SIG_DFL);
}
#endif

} // namespace

void InterruptSignal::install()
{
#ifdef _WIN32
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
    std::signal(SIGINT, onInterrupt);
#endif
}

const std::atomic<bool>& InterruptSignal::flag()
{
    return interrupted;
}

bool InterruptSignal::raised()
{
    return interrupted.load();
}
