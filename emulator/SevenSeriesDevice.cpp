#include "emulator/SevenSeriesDevice.h"

#include <cctype>
#include <iterator>

namespace emu {
namespace {

// The frame address spaces as the vendor's compressed bitstreams address
// them, row by row (the XC7A35T is the XC7A50T's die, the XC7A75T the
// XC7A100T's). With two pad frames per row they give the FDRI frame counts
// of the full uncompressed bitstreams: 5420 and 9464.
const FrameRow a50tRows[] = {
    {0x00000000, "IKCCCCBCCBCCCCCCCCKCCCCKCCCCCCBCCCBCCBCCCCKI"},
    {0x00020000, "IKCCCCBCCBCCCCCCCCKCCCCKCCCCCCBCCCBCCG"},
    {0x00400000, "IKCCCCBCCBCCCCCCCCKCCCCKCCCCCCBCCCBCCBCCCCKI"},
    {0x00800000, "MMM"},
    {0x00820000, "MM"},
    {0x00C00000, "MMM"},
};
const FrameRow a100tRows[] = {
    {0x00000000, "IKCCCCBCCBCCCCCCCCKCCCCCCCCCCCCKCCCBCCBCCCCCBCCCBCCBCCCCKI"},
    {0x00020000, "IKCCCCBCCBCCCCCCCCKCCCCCCCCCCCCKCCCBCCBCCCCCBCCCBCCG"},
    {0x00400000, "IKCCCCBCCBCCCCCCCCKCCCCCCCCCCCCKCCCBCCBCCCCCBCCCBCCBCCCCKI"},
    {0x00420000, "IKCCCCBCCBCCCCCCCCKCCCCCCCCCCCCKCCCBCCBCCCCCBCCCBCCG"},
    {0x00800000, "MMMM"},
    {0x00820000, "MMM"},
    {0x00C00000, "MMMM"},
    {0x00C20000, "MMM"},
};

// IDCODEs from the 7-series configuration user guide; byte counts the
// guide's bitstream lengths.
const SevenSeriesDevice devices[] = {
    {"7a35t", 0x0362D093, 2192012, a50tRows, std::size(a50tRows)},
    {"7a50t", 0x0362C093, 2192012, a50tRows, std::size(a50tRows)},
    {"7a75t", 0x03632093, 3825788, a100tRows, std::size(a100tRows)},
    {"7a100t", 0x03631093, 3825788, a100tRows, std::size(a100tRows)},
};

} // namespace

uint32_t SevenSeriesDevice::framesIn(char column)
{
    switch (column) {
    case 'I': return 42;
    case 'K': return 30;
    case 'C': return 36;
    case 'B': return 28;
    case 'G': return 32;
    case 'M': return 128;
    default: return 0;
    }
}

uint32_t SevenSeriesDevice::addressedFrames() const
{
    uint32_t total = 0;
    for (size_t row = 0; row < rowCount; ++row)
        for (const char* column = rows[row].columns; *column; ++column)
            total += framesIn(*column);
    return total;
}

std::string SevenSeriesDevice::displayName() const
{
    std::string text = "XC";
    for (const char* c = name; *c; ++c)
        text += char(std::toupper(static_cast<unsigned char>(*c)));
    return text;
}

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

const SevenSeriesDevice* SevenSeriesDevice::byIdcode(uint32_t idcode)
{
    for (const SevenSeriesDevice& device : devices)
        if (((device.idcode ^ idcode) & 0x0FFFFFFF) == 0)
            return &device;
    return nullptr;
}

} // namespace emu
