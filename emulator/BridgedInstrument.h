#pragma once

#include "emulator/EmulatedInstrument.h"
#include "emulator/Ft2232hBridge.h"
#include "emulator/config/BenchConfig.h"

#include <memory>
#include <string>

namespace emu {

// One instrument of the bench behind channel B of its own FT2232H, built the
// same way for every face of the bridge (D2XX calls, USB transfers).
struct BridgedInstrument
{
    std::unique_ptr<EmulatedInstrument> instrument;
    std::unique_ptr<Ft2232hBridge> bridge; // declared after the instrument it drives

    // Builds `one` on `clock` (paced to real time first when it asks, unless
    // already paced) where the bench places it, the bridge showing `faults`'
    // lost replies and MPSSE refusal; false with `error` set when the
    // instrument cannot be built.
    bool build(const BenchConfig::Instrument& one, const FaultPlan& faults, VirtualClock& clock, CallTrace* trace,
               std::string& error);
};

} // namespace emu
