// PRAVEL_EMULATED_FAULTS as a user might type it: parsed or refused with a
// message, never anything else.

#include "emulator/config/FaultPlan.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    emu::FaultPlan plan;
    std::string error;
    const bool parsed = emu::FaultPlan::parse(text, plan, error);
    // A refusal says why; an accepted plan has only counts from 1.
    if (!parsed && error.empty())
        std::abort();
    if (parsed) {
        for (const auto& call : plan.failingCalls)
            if (call.second == 0)
                std::abort();
        for (uint64_t n : plan.noReplyAt)
            if (n == 0)
                std::abort();
    }
    return 0;
}
