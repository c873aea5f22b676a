#include "emulator/BridgedInstrument.h"

#include "emulator/VirtualClock.h"

namespace emu {

bool BridgedInstrument::build(const BenchConfig::Instrument& one, const FaultPlan& faults, VirtualClock& clock,
                              CallTrace* trace, std::string& error)
{
    if (one.options.realTime && !clock.paced())
        clock.paceToRealTime();
    instrument = EmulatedInstrument::create(one.options, clock, trace, error);
    if (!instrument)
        return false;
    // Timed, the bridge runs bulk transfers on USB microframes.
    const BridgeTiming timing = one.options.timed ? BridgeTiming::usbHighSpeed() : BridgeTiming{};
    bridge = std::make_unique<Ft2232hBridge>(clock, instrument.get(), timing);
    bridge->place(one.serialNumber, one.hubPort);
    bridge->dropRepliesAt(faults.noReplyAt);
    bridge->refuseMpsse(faults.noMpsse);
    return true;
}

} // namespace emu
