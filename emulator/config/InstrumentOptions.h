#pragma once

#include "emulator/config/FlashFaults.h"
#include "emulator/config/WiringFaults.h"

#include <string>

namespace emu {

// One emulated instrument: the flash chip on its board, where that flash
// keeps its contents, how long it stays busy, whether its time passes as
// fast as real time, and what it and the board's wiring do wrong.
struct InstrumentOptions
{
    std::string chip = "mt25q128"; // a name from the flash part table
    std::string imagePath;         // raw flash contents kept in this file; empty: in memory
    unsigned busyStatusReads = 2;  // instant mode: status reads that still show WIP after a program or erase
    bool timed = false;            // busy for the datasheet's typical times on the virtual clock instead
    bool worst = false;            // with `timed`: the datasheet's maximum times
    bool realTime = false;         // the emulated clock paced to real time (a demo), not run ahead of it
    FlashFaults faults;
    WiringFaults wiring; // the board's lines between bridge and flash
    // Powered up with the FPGA configuring itself from the flash at address 0,
    // as in master SPI mode (else it stays unconfigured until a bitstream is
    // clocked in).
    bool bootFromFlash = false;
};

} // namespace emu
