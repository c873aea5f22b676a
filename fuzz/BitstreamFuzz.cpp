// Any file named .bit, loaded by TFpga and clocked into the emulated FPGA,
// whose configuration port reads the bitstream's header and sync word: the
// load, the configuration and the DONE check end, whatever the bytes.

#include "fuzz/FuzzSupport.h"

#include "device/TFpga.h"
#include "device/TFtdi.h"
#include "emulator/VirtualClock.h"

#include <cstdint>
#include <iostream>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto path = fuzz::scratch() / "input.bit";
    fuzz::writeFile(path, data, size);
    auto driver = fuzz::instrument();
    TFtdi ftdi(driver, driver->clock());
    TFpga fpga(&ftdi);
    if (fpga.FileOpen(path.string()) != 1 || ftdi.PortOpen("USB <-> Serial Converter B") != 1)
        return 0;
    fpga.Reset();
    fpga.Configuration();
    int32_t done = 0;
    fpga.DoneCheck(done);
    ftdi.PortClose();
    return 0;
}
