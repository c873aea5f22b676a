#pragma once

#include <cstdint>
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
// Counts start at 1 and run from the driver's creation.
struct FaultPlan
{
    std::vector<std::pair<std::string, uint64_t>> failingCalls;
    uint64_t unplugAtCall = 0; // 0: never
    bool enumerationFails = false;
    bool stuckBusy = false;
    std::vector<uint64_t> noReplyAt;
    std::vector<uint32_t> flippedAddresses;
    std::vector<uint32_t> slowPages;

    // false with a message that names the accepted forms on bad input.
    static bool parse(const std::string& text, FaultPlan& plan, std::string& error);
};

} // namespace emu
