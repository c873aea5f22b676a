#pragma once

#include "emulator/config/FaultPlan.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace emu {

// Faults the emulated USB device is told to show, comma-separated:
//   unplug@N      from the Nth USB transfer (control or bulk) on, the device is gone
//   bulk-out@N    the Nth bulk OUT transfer fails (LIBUSB_ERROR_IO)
//   bulk-in@N     the Nth bulk IN transfer fails (LIBUSB_ERROR_IO)
//   control@N     the Nth control transfer fails (LIBUSB_ERROR_IO)
//   timeout@N     the Nth bulk IN transfer times out with nothing read
//   enumeration   listing the bus fails (LIBUSB_ERROR_IO)
// and the instrument's own faults as the emulated D2XX face takes them:
// stuck-busy, no-reply@N, flip@ADDR, slow-page@ADDR, held-page@ADDR,
// stuck-page@ADDR, miso-high, miso-low, miso-noise[@HZ], no-mpsse, protected,
// four-byte. Counts start at 1.
struct UsbFaultPlan
{
    enum class Kind { BulkOut, BulkIn, Control, Timeout };

    uint64_t unplugAtTransfer = 0; // 0: never
    bool enumerationFails = false;
    std::vector<std::pair<Kind, uint64_t>> failing;
    FaultPlan instrument; // only its flash- and reply-side entries are used

    // Every fault as a list spells it ("bulk-out@N"), the instrument's last,
    // for every message and help text.
    static std::vector<std::string> forms();
    // false with a message naming the accepted forms on bad input.
    static bool parse(const std::string& text, UsbFaultPlan& plan, std::string& error);
};

} // namespace emu
