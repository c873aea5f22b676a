#pragma once

#include "emulator/MpsseTarget.h"
#include "emulator/config/InstrumentOptions.h"

#include <cstdint>
#include <memory>
#include <string>

namespace emu {

class CallTrace;
class FpgaConfigPort;
class SpiFlash;
class VirtualClock;

// The board behind channel B: the SPI flash on chip select (low byte bit 3,
// active low) and the configuration port of its XC7A35T, which takes the
// bits clocked while chip select is high. Bits 5 and 6 are the FPGA's control
// lines; bit 7 reads the FPGA's DONE pin.
class EmulatedInstrument final : public MpsseTarget
{
public:
    // nullptr with `error` set when the options cannot be met (unknown chip,
    // image file of the wrong size or not usable).
    static std::unique_ptr<EmulatedInstrument> create(const InstrumentOptions& options, VirtualClock& clock,
                                                      CallTrace* trace, std::string& error);
    ~EmulatedInstrument() override;

    void setLowPins(uint8_t value, uint8_t direction) override;
    uint8_t readLowPins() const override;
    uint8_t shift(uint8_t out, unsigned bits) override;
    void clockPulses(uint64_t count) override;

    SpiFlash& flash();
    FpgaConfigPort& fpga();

private:
    EmulatedInstrument(std::unique_ptr<SpiFlash> flash, std::unique_ptr<FpgaConfigPort> fpga);

    std::unique_ptr<SpiFlash> flashChip;
    std::unique_ptr<FpgaConfigPort> fpgaPort;
    uint8_t pinValue = 0;
    uint8_t pinDirection = 0;
};

} // namespace emu
