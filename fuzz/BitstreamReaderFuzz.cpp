// Any bytes the bitstream reader may meet (a .bit file, the first bytes of
// a flash): a report for each, never a crash, and the emulated FPGA fed the
// same bytes agrees with its verdict wherever the reader can count the
// frames (uncompressed streams).

#include "device/BitstreamReader.h"
#include "emulator/FpgaConfigPort.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const BitstreamReport report = BitstreamReader::read(data, size);
    (void)BitstreamReader::read(data, size, BitstreamReader::anyPart);
    if (report.starts != report.reason.empty() || (report.starts && report.moreBytes != 0) || report.end > size)
        std::abort();
    (void)report.facts();
    if (report.compressed)
        return 0;
    emu::FpgaConfigPort fpga;
    for (size_t i = 0; i < size; ++i)
        fpga.shift(data[i], 8);
    fpga.clockPulses(256);
    if (fpga.done() != report.starts)
        std::abort();
    return 0;
}
