#pragma once

#include "device/BitstreamReport.h"

#include <string>

class TRom;

// Before a bitstream goes to offset 0, where the FPGA configures from at
// power-up: what would make the instrument not start once it is written. A
// risk needs the user's confirmation; the guard itself writes nothing.
//   - its CRC checks fail: the bitstream is damaged;
//   - it is encrypted: the FPGA needs its AES key;
//   - it names another FPGA than the bitstream the flash holds now (read
//     only as far as that one's IDCODE; an erased or unreadable one is no
//     reason to refuse).
class BitstreamGuard
{
public:
    struct Finding
    {
        BitstreamReport incoming; // the bitstream to be written
        BitstreamReport current;  // the start of what the flash holds, when it was read
        bool flashReadFailed = false;
        std::string risk;         // empty: none found; else sentences that name it
    };

    // `incoming`: the bitstream to be written, as BitstreamReader read it for
    // any FPGA. Reads the flash only when it names one.
    static Finding check(const BitstreamReport& incoming, TRom& rom);
    // The risk of writing `incoming` over a flash that begins with `current`.
    static std::string risk(const BitstreamReport& incoming, const BitstreamReport& current);
};
