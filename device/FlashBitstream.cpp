#include "device/FlashBitstream.h"

#include "device/BitstreamReader.h"
#include "device/TRom.h"

#include <algorithm>
#include <vector>

FlashBitstream::Reading FlashBitstream::boot(TRom& rom)
{
    return read(rom, rom.MemorySize() > 0 ? static_cast<size_t>(rom.MemorySize()) : 0, false);
}

FlashBitstream::Reading FlashBitstream::idcode(TRom& rom)
{
    return read(rom, idcodeReach, true);
}

FlashBitstream::Reading FlashBitstream::read(TRom& rom, size_t limit, bool untilIdcode)
{
    Reading reading;
    std::vector<unsigned char> bytes;
    size_t wanted = std::min(firstRead, limit);
    for (;;) {
        const size_t have = bytes.size();
        bytes.resize(wanted);
        if (rom.ReadAt(static_cast<uint32_t>(have), bytes.data() + have, static_cast<int>(wanted - have)) != 1) {
            reading.bytesRead = have;
            return reading;
        }
        reading.report = BitstreamReader::read(bytes);
        const BitstreamReport& report = reading.report;
        if (report.moreBytes == 0 || wanted >= limit || (untilIdcode && report.idcodeSeen))
            break;
        // At least a quarter more each time: the reader reads from the start
        // again, so many small steps through a long stream would cost dearly.
        wanted = std::min(limit, wanted + std::max(report.moreBytes, wanted / 4));
    }
    reading.readOk = true;
    reading.bytesRead = bytes.size();
    return reading;
}
