#include "emulator/FpgaConfigPort.h"

#include <algorithm>

namespace emu {

void FpgaConfigPort::setReset(bool hold)
{
    if (hold && !held) {
        ++resetCount;
        doneHigh = false;
        synced = false;
        window = 0;
        partial = 0;
        partialBits = 0;
        received = 0;
        afterSync = 0;
        clocksSinceByte = 0;
    }
    held = hold;
}

void FpgaConfigPort::shift(uint8_t out, unsigned bits)
{
    bits = std::min(bits, 8u);
    if (held || bits == 0)
        return;
    if (bits == 8 && partialBits == 0) {
        byteIn(out);
        clocksSinceByte = 0;
        return;
    }
    // Single bits: the FPGA sees clocks, not bytes, so they count as
    // start-up clocks and still assemble into data.
    for (unsigned i = 0; i < bits; ++i) {
        partial = static_cast<uint8_t>((partial << 1) | ((out >> (7 - i)) & 1u));
        if (++partialBits == 8) {
            partialBits = 0;
            byteIn(partial);
            partial = 0;
        }
    }
    clocksSinceByte += bits;
    checkDone();
}

void FpgaConfigPort::clockPulses(uint64_t count)
{
    if (held)
        return;
    clocksSinceByte += count;
    checkDone();
}

void FpgaConfigPort::byteIn(uint8_t value)
{
    ++received;
    if (synced) {
        ++afterSync;
        return;
    }
    window = (window << 8) | value;
    if (window == syncWord)
        synced = true;
}

void FpgaConfigPort::checkDone()
{
    if (synced && afterSync >= minimumAfterSync && clocksSinceByte >= 8)
        doneHigh = true;
}

} // namespace emu
