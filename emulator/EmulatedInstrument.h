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
// lines; bit 7 reads the FPGA's DONE pin. The MISO line between flash and
// bridge (DI, bit 2) shows the wiring's faults.
class EmulatedInstrument final : public MpsseTarget
{
public:
    // nullptr with `error` set when the options cannot be met (unknown chip,
    // image file of the wrong size or not usable). With `bootFromFlash` the
    // instrument comes up as after powerCycle().
    static std::unique_ptr<EmulatedInstrument> create(const InstrumentOptions& options, VirtualClock& clock,
                                                      CallTrace* trace, std::string& error);
    ~EmulatedInstrument() override;

    void setLowPins(uint8_t value, uint8_t direction) override;
    uint8_t readLowPins() const override;
    uint8_t shift(uint8_t out, unsigned bits) override;
    void clockPulses(uint64_t count) override;
    void clockRateChanged(uint64_t hz) override;

    SpiFlash& flash();
    FpgaConfigPort& fpga();

    // The instrument switched off and on, for tests: the FPGA loses its
    // configuration and, in master SPI mode, reads the flash from address 0
    // with the read command (0x03) through the flash model's pins, as the
    // board wires them, until DONE rises, INIT_B falls or it has read the
    // whole array once. The flash answers as it is (bit faults included); it
    // keeps its volatile state, the model has no power-on reset. An FPGA the
    // bridge holds in reset (both control lines low) does not configure.
    // true when DONE is high afterwards. Call it between D2XX calls, with no
    // flash transaction open: chip select rising would complete one.
    bool powerCycle();

private:
    EmulatedInstrument(std::unique_ptr<SpiFlash> flash, std::unique_ptr<FpgaConfigPort> fpga, CallTrace* trace,
                       const WiringFaults& wiring);
    // What reaches the far end of the MISO line when `driven` (MSB-aligned,
    // `bits` of them) is put on it; `clocked` at SK's rate (noise needs a clock).
    uint8_t overMiso(uint8_t driven, unsigned bits, bool clocked) const;

    std::unique_ptr<SpiFlash> flashChip;
    std::unique_ptr<FpgaConfigPort> fpgaPort;
    CallTrace* trace;
    uint8_t pinValue = 0;
    uint8_t pinDirection = 0;
    WiringFaults wiring;
    uint64_t sckHz = 6000000; // the MPSSE's power-on clock: 12 MHz / 2
    mutable uint64_t noise = 0x9E3779B97F4A7C15ull; // the noise's fixed sequence
};

} // namespace emu
