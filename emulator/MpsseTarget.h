#pragma once

#include <cstdint>

namespace emu {

// What hangs off an MPSSE channel's pins. The engine decodes the command
// stream and calls these; the board behind it (flash, FPGA) answers.
class MpsseTarget
{
public:
    virtual ~MpsseTarget() = default;

    // The low GPIO byte was set (0x80): outputs are the bits set in `direction`.
    virtual void setLowPins(uint8_t value, uint8_t direction) = 0;
    // The low byte as the pins read now (0x81, FT_GetBitMode): driven outputs
    // read back, inputs are what the board drives.
    virtual uint8_t readLowPins() const = 0;
    // One shift of `bits` (1..8) clocks, most significant bit first: `out`
    // (MSB-aligned) on DO, returns what DI carried (MSB-aligned). Commands that
    // only read pass 0 for `out`.
    virtual uint8_t shift(uint8_t out, unsigned bits) = 0;
    // Clock pulses with no data (0x8E, 0x8F).
    virtual void clockPulses(uint64_t count) = 0;
    // SK's frequency from now on: what a long or poor line does to the bits
    // depends on it. The engine's power-on clock until the first call.
    virtual void clockRateChanged(uint64_t /*hz*/) {}
};

} // namespace emu
