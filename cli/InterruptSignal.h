#pragma once

#include <atomic>

// Ctrl-C as a flag: the first SIGINT (on Windows: the console's Ctrl-C,
// Ctrl-Break or close event) only sets it, so the running operation can stop
// between transactions; a second one ends the process at once.
class InterruptSignal
{
public:
    static void install();
    static const std::atomic<bool>& flag();
    static bool raised();
};
