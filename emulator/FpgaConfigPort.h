#pragma once

#include <cstdint>

namespace emu {

// The FPGA's slave-serial configuration port. Bytes clocked in MSB first
// while it is not held in reset are configuration data; DONE rises once the
// sync word, enough data after it, and the start-up clocks have arrived.
class FpgaConfigPort
{
public:
    static constexpr uint32_t syncWord = 0xAA995566;

    explicit FpgaConfigPort(uint32_t minimumBytesAfterSync = 64) : minimumAfterSync(minimumBytesAfterSync) {}

    // Both control lines low hold the FPGA in reset: its configuration is
    // cleared and it ignores the clock.
    void setReset(bool held);
    bool inReset() const { return held; }

    // `bits` (1..8) clocks with `out` MSB-aligned on the data line. A whole
    // byte per call is data; fewer bits count as start-up clocks as well.
    void shift(uint8_t out, unsigned bits);
    // Clocks with no data (0x8E / 0x8F).
    void clockPulses(uint64_t count);

    bool done() const { return doneHigh; }
    bool syncSeen() const { return synced; }
    uint64_t bytesReceived() const { return received; }     // since the last reset
    uint64_t bytesAfterSync() const { return afterSync; }
    uint64_t trailingClocks() const { return clocksSinceByte; }
    uint64_t resets() const { return resetCount; }

private:
    void byteIn(uint8_t value);
    void checkDone();

    uint32_t minimumAfterSync;
    bool held = false;
    bool doneHigh = false;
    bool synced = false;
    uint32_t window = 0; // the last four bytes, for the sync word
    uint8_t partial = 0;
    unsigned partialBits = 0;
    uint64_t received = 0;
    uint64_t afterSync = 0;
    uint64_t clocksSinceByte = 0;
    uint64_t resetCount = 0;
};

} // namespace emu
