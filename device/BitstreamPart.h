#pragma once

#include <cstdint>
#include <string>

// A 7-series FPGA as a bitstream names it: its IDCODE and the frames a full
// uncompressed bitstream for it writes through FDRI. The loader's own table,
// kept apart from the emulated instrument's: the two check each other.
struct BitstreamPart
{
    static constexpr uint32_t wordsPerFrame = 101;

    const char* name; // "XC7A35T"
    uint32_t idcode;  // revision bits 31..28 zero; they are not compared
    uint32_t frames;  // pad frames included

    // Whether two IDCODEs name the same FPGA: the revision bits aside.
    static bool sameFpga(uint32_t a, uint32_t b) { return ((a ^ b) & 0x0FFFFFFF) == 0; }
    // The part with that IDCODE, revision bits aside; nullptr when the table has none.
    static const BitstreamPart* find(uint32_t idcode);
    // The FPGA the instrument carries.
    static const BitstreamPart& instrumentFpga();
    // "an XC7A50T (IDCODE 0362C093)", or "an FPGA this loader does not know (IDCODE ...)".
    static std::string describe(uint32_t idcode);
};
