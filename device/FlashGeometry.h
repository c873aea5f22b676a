#pragma once

#include <cstdint>

// The layout every supported flash shares and how far the loader's
// addressing reaches, defined here once for the checks made before a chip
// is identified (the firmware run's, the tool's) and for the chip table.
struct FlashGeometry
{
    // The erase sector and the program page of every supported part.
    static constexpr uint32_t sectorSize = 0x10000;
    static constexpr uint32_t pageSize = 256;
    // Three address bytes reach this far.
    static constexpr uint64_t addressSpace = 0x1000000;
    // Offset plus image size may not pass this, whatever the part: it bounds
    // the image buffer.
    static constexpr uint64_t imageLimit = 0x2000000;
};
