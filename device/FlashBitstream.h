#pragma once

#include "device/BitstreamReport.h"

#include <cstddef>

class TRom;

// The bitstream the flash holds from address 0, where the FPGA reads it at
// power-up (master SPI), judged by BitstreamReader for the instrument's FPGA.
// The flash is read only as far as the reader needs: the bitstream's own
// length, or a run of erased bytes, and never past the flash's end.
class FlashBitstream
{
public:
    struct Reading
    {
        bool readOk = false; // false: the flash could not be read (already reported by the device layer)
        size_t bytesRead = 0;
        BitstreamReport report;
    };

    // Bytes read first: a .bit header and the packets up to the IDCODE fit.
    static constexpr size_t firstRead = 512;
    // Bytes read at most to find the IDCODE.
    static constexpr size_t idcodeReach = 4096;

    // The whole verdict: would the FPGA start from the flash?
    static Reading boot(TRom& rom);
    // Only as far as the IDCODE: which FPGA the flash's bitstream is for.
    static Reading idcode(TRom& rom);

private:
    static Reading read(TRom& rom, size_t limit, bool untilIdcode);
};
