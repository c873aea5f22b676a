#pragma once

#include "emulator/config/FlashFaults.h"
#include "emulator/config/WiringFaults.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace emu {

// Faults the emulated instrument is told to show, as PRAVEL_EMULATED_FAULTS
// spells them, comma-separated:
//   FT_Write@120   the 120th call of that D2XX function fails with FT_IO_ERROR
//   unplug@50      from the 50th D2XX call on the bridge is gone
//   enumeration    FT_CreateDeviceInfoList fails
//   stuck-busy     the flash stays busy after its first program or erase
//   no-reply@3     the 3rd read command's reply never reaches the host
//   flip@0x500010  a stored bit at that flash address reads inverted
//   slow-page@0x500100  programming the page holding that address takes
//                  longer than the datasheet's maximum
//   held-page@0x500100  programming that page keeps the flash busy through its
//                  next three status reads, however long each of them waits
//   stuck-page@0x500100 programming that page never ends
//   miso-high      the MISO line floats high: every answer of the flash reads 1s
//   miso-low       the MISO line is shorted to ground: every answer reads 0s
//   miso-noise     bits on MISO flip while SK runs faster than 5 MHz (a poor
//                  line: the loader's 15 MHz suffers, a slower clock does not)
//   miso-noise@HZ  the same above HZ; miso-noise@0 at every clock (a loose contact)
//   no-mpsse       the bridge takes the switch to MPSSE mode but stays a UART:
//                  it answers no MPSSE command
//   protected      the flash was left with every block-protect bit set
//   four-byte      the flash was left in 4-byte address mode
// Counts start at 1 and run from the driver's creation.
struct FaultPlan
{
    std::vector<std::pair<std::string, uint64_t>> failingCalls;
    uint64_t unplugAtCall = 0; // 0: never
    bool enumerationFails = false;
    std::vector<uint64_t> noReplyAt;
    FlashFaults flash; // stuck-busy and the address faults: the chip's own
    WiringFaults wiring; // the MISO line's faults: the board's
    bool noMpsse = false; // the bridge's

    // false with a message that names the accepted forms on bad input.
    static bool parse(const std::string& text, FaultPlan& plan, std::string& error);
    // The instrument's own faults (the flash's, the board's, the bridge's and
    // lost replies) as a list spells them ("no-reply@N"), for every face's
    // check, message and help text: every face takes them as this plan does.
    static const std::vector<std::string>& instrumentFaults();
    // Whether `name` is one of them.
    static bool isInstrumentFault(const std::string& name);

    // One item of a comma-separated fault list: NAME or NAME@ARGUMENT, trimmed.
    struct Item
    {
        std::string text;
        std::string name;
        std::string argument;
        bool hasArgument = false;
    };
    // Hands `visit` each non-empty item in order; false as soon as it refuses one.
    // Every fault list (the bridge's, the USB bus's) is split here.
    static bool forEachItem(const std::string& text, const std::function<bool(const Item&)>& visit);
};

} // namespace emu
