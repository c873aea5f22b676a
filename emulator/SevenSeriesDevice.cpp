#include "emulator/SevenSeriesDevice.h"

#include <iterator>

namespace emu {
namespace {

// IDCODEs from the 7-series configuration user guide; frame counts are those
// of the FDRI packets of full bitstreams, and the byte counts the guide's
// bitstream lengths.
const SevenSeriesDevice devices[] = {
    {"7a35t", 0x0362D093, 5420, 2192012},
    {"7a50t", 0x0362C093, 5420, 2192012},
    {"7a100t", 0x03631093, 9464, 3825788},
};

} // namespace

const SevenSeriesDevice& SevenSeriesDevice::xc7a35t()
{
    return devices[0];
}

const SevenSeriesDevice* SevenSeriesDevice::find(const std::string& part)
{
    const SevenSeriesDevice* best = nullptr;
    for (const SevenSeriesDevice& device : devices) {
        const std::string name = device.name;
        if (part.compare(0, name.size(), name) == 0 && (!best || name.size() > std::string(best->name).size()))
            best = &device;
    }
    return best;
}

} // namespace emu
